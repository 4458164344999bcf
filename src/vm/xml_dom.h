// A small read-only XML document model over libxml2 with the operations the Microsoft reader
// needs: load a file by its Windows path, the root element, descendant elements by tag name in
// document order, an element's base name and text. Loading never touches the network, never
// loads a DTD or an external entity, and refuses files above a size bound.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "vmpeek/types.h"

struct _xmlDoc;
struct _xmlNode;
typedef _xmlNode* XmlElement;

// COM status values of the document operations.
constexpr uint32_t kHrOk = 0;
constexpr uint32_t kHrFail = 0x80004005u;         // E_FAIL
constexpr uint32_t kHrOutOfMemory = 0x8007000Eu;  // E_OUTOFMEMORY

class XmlDomDocument {
 public:
  // Largest document accepted, in bytes; larger files do not load.
  static constexpr uint64_t kMaxBytes = 4u << 20;
  // Largest element text handed out, in bytes of UTF-8.
  static constexpr uint64_t kMaxTextBytes = 1u << 20;
  // Bytes of entity replacement text that all reads of one document may produce together.
  static constexpr uint64_t kMaxExpansionBytes = 1u << 20;

  XmlDomDocument() = default;
  ~XmlDomDocument();
  XmlDomDocument(const XmlDomDocument&) = delete;
  XmlDomDocument& operator=(const XmlDomDocument&) = delete;

  // Loads the file at a Windows path (UTF-8 or UTF-16 with or without a byte-order mark).
  // Returns a status; *success tells whether a document was loaded.
  uint32_t Load(const WCHAR* path, bool* success);
  // The root element, or null when there is no document.
  XmlElement DocumentElement() const;

 private:
  _xmlDoc* m_Doc = nullptr;
  uint64_t m_ExpansionBudget = 0;
};

// All descendant elements of parent (not parent itself) whose qualified name is tagName, in
// document order. A null parent gives none.
std::vector<XmlElement> XmlElementsByTagName(XmlElement parent, const char* tagName);
// The element's name without its prefix.
std::u16string XmlBaseName(XmlElement element);
// The element's text: its text and CDATA content with internal entities expanded (external ones
// never), white space trimmed at both ends. Returns a status; fails when the text is too large.
uint32_t XmlText(XmlElement element, std::u16string* text);
// The text as a number, read as _wtoi does: leading blanks, an optional sign, decimal digits.
int32_t XmlWtoi(const std::u16string& text);
