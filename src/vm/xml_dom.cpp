#include "vm/xml_dom.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <cstring>
#include <cwctype>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include "platform/path.h"
#include "vm/cfg_text.h"

namespace {

// The XML engine is loaded at the first document, the way COM starts its XML server on first
// use: hosts that never read a .vmc never pay for loading it and the Unicode tables it pulls in
// (a third of the start-up time of a command).
struct XmlEngine {
  decltype(&xmlInitParser) initParser;
  decltype(&xmlNewParserCtxt) newParserCtxt;
  decltype(&xmlCtxtReadMemory) ctxtReadMemory;
  decltype(&xmlFreeParserCtxt) freeParserCtxt;
  decltype(&xmlFreeDoc) freeDoc;
  decltype(&xmlDocGetRootElement) docGetRootElement;
};

template <typename F>
bool Resolve(void* library, const char* name, F* fn) {
  *fn = reinterpret_cast<F>(dlsym(library, name));
  return *fn != nullptr;
}

// Null when the engine cannot be loaded; then no document loads.
const XmlEngine* Engine() {
  static const XmlEngine* const engine = []() -> const XmlEngine* {
    void* library = dlopen("libxml2.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!library) return nullptr;
    static XmlEngine e{};
    if (!Resolve(library, "xmlInitParser", &e.initParser) || !Resolve(library, "xmlNewParserCtxt", &e.newParserCtxt) ||
        !Resolve(library, "xmlCtxtReadMemory", &e.ctxtReadMemory) ||
        !Resolve(library, "xmlFreeParserCtxt", &e.freeParserCtxt) || !Resolve(library, "xmlFreeDoc", &e.freeDoc) ||
        !Resolve(library, "xmlDocGetRootElement", &e.docGetRootElement)) {
      return nullptr;
    }
    e.initParser();  // the engine's process-wide start-up, once
    return &e;
  }();
  return engine;
}

// Reads a regular file of at most `limit` bytes whole; false otherwise.
bool ReadSmallFile(const std::string& posix, uint64_t limit, std::string* data) {
  int fd = open(posix.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= limit;
  if (ok) {
    data->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data->size()) {
      ssize_t n = read(fd, data->data() + got, data->size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    data->resize(got);  // a file that shrank meanwhile is parsed as it was read
  }
  close(fd);
  return ok;
}

std::string QualifiedName(const xmlNode* node) {
  std::string name;
  if (node->ns && node->ns->prefix) {
    name = reinterpret_cast<const char*>(node->ns->prefix);
    name += ':';
  }
  if (node->name) name += reinterpret_cast<const char*>(node->name);
  return name;
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Appends the text below `first` and its siblings; false when a bound is reached. Text that
// comes from entity expansion is also charged to the document's budget, so references to one
// large entity cannot multiply it across many elements.
bool CollectText(const xmlNode* first, int entityDepth, uint64_t* budget, std::string* out) {
  for (const xmlNode* n = first; n; n = n->next) {
    switch (n->type) {
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
        if (n->content) {
          size_t before = out->size();
          out->append(reinterpret_cast<const char*>(n->content));
          if (entityDepth > 0) {
            uint64_t added = out->size() - before;
            if (added > *budget) return false;
            *budget -= added;
          }
        }
        break;
      case XML_ELEMENT_NODE:
        if (!CollectText(n->children, entityDepth, budget, out)) return false;
        break;
      case XML_ENTITY_REF_NODE: {
        // Only entities declared inside the document are expanded; external ones stay empty.
        const xmlEntity* ent = reinterpret_cast<const xmlEntity*>(n->children);
        if (ent && ent->type == XML_ENTITY_DECL && ent->etype == XML_INTERNAL_GENERAL_ENTITY) {
          if (entityDepth >= 8) return false;
          if (!CollectText(ent->children, entityDepth + 1, budget, out)) return false;
        }
        break;
      }
      default:
        break;
    }
    if (out->size() > XmlDomDocument::kMaxTextBytes) return false;
  }
  return true;
}

}  // namespace

XmlDomDocument::~XmlDomDocument() {
  if (m_Doc) Engine()->freeDoc(m_Doc);
}

uint32_t XmlDomDocument::Load(const WCHAR* path, bool* success) {
  *success = false;
  const XmlEngine* xml = Engine();
  if (!xml) return kHrFail;
  if (m_Doc) {
    xml->freeDoc(m_Doc);
    m_Doc = nullptr;
  }
  std::string posix, data;
  if (!path || PlatformMapPath(path, true, &posix) < 0) return kHrOk;
  if (!ReadSmallFile(posix, kMaxBytes, &data) || data.empty()) return kHrOk;
  xmlParserCtxtPtr ctxt = xml->newParserCtxt();
  if (!ctxt) return kHrOutOfMemory;
  // No network, no DTD loading, no entity substitution (so no external entity is ever read),
  // no relaxed limits; errors are reported by status, not printed.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  xmlDocPtr doc = xml->ctxtReadMemory(ctxt, data.data(), static_cast<int>(data.size()), nullptr,
                                         nullptr, options);
  bool wellFormed = ctxt->wellFormed != 0;
  xml->freeParserCtxt(ctxt);
  if (!doc) return kHrOk;
  if (!wellFormed) {
    xml->freeDoc(doc);
    return kHrOk;
  }
  m_Doc = doc;
  m_ExpansionBudget = kMaxExpansionBytes;
  m_Doc->_private = &m_ExpansionBudget;
  *success = true;
  return kHrOk;
}

XmlElement XmlDomDocument::DocumentElement() const { return m_Doc ? Engine()->docGetRootElement(m_Doc) : nullptr; }

std::vector<XmlElement> XmlElementsByTagName(XmlElement parent, const char* tagName) {
  std::vector<XmlElement> found;
  if (!parent) return found;
  // Pre-order walk of the subtree without recursion.
  xmlNode* n = parent->children;
  while (n) {
    if (n->type == XML_ELEMENT_NODE) {
      if (QualifiedName(n) == tagName) found.push_back(n);
      if (n->children) {
        n = n->children;
        continue;
      }
    }
    while (n && !n->next && n != parent) n = n->parent;
    if (!n || n == parent) break;
    n = n->next;
  }
  return found;
}

std::u16string XmlBaseName(XmlElement element) {
  std::u16string name;
  if (!element || !element->name) return name;
  const auto* bytes = reinterpret_cast<const uint8_t*>(element->name);
  uint64_t length = strlen(reinterpret_cast<const char*>(element->name));
  name.resize(CfgDecodeUtf8(bytes, length, nullptr, 0));
  CfgDecodeUtf8(bytes, length, name.data(), name.size());
  return name;
}

uint32_t XmlText(XmlElement element, std::u16string* text) {
  text->clear();
  if (!element) return kHrFail;
  std::string utf8;
  uint64_t spare = 0;
  auto* budget = element->doc && element->doc->_private ? static_cast<uint64_t*>(element->doc->_private) : &spare;
  if (!CollectText(element->children, 0, budget, &utf8)) return kHrFail;
  size_t s = 0, e = utf8.size();
  while (s < e && IsXmlSpace(utf8[s])) ++s;
  while (e > s && IsXmlSpace(utf8[e - 1])) --e;
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data() + s);
  text->resize(CfgDecodeUtf8(bytes, e - s, nullptr, 0));
  CfgDecodeUtf8(bytes, e - s, text->data(), text->size());
  return kHrOk;
}

int32_t XmlWtoi(const std::u16string& text) {
  size_t i = 0;
  while (i < text.size() && iswspace(static_cast<wint_t>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > static_cast<int64_t>(INT_MAX) + 1) value = static_cast<int64_t>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(value);
}
