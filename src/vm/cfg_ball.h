// CfgBall: the text of a line-oriented configuration file ([sections], key = value lines,
// comments) kept as UTF-16 and answered by scanning the text itself. Every edit touches only the
// lines it concerns; all other bytes survive unchanged. CfgBallEnum: a snapshot of section or key
// names. Both are reference counted and lock themselves.
#pragma once
#include <cstdint>
#include "platform/sync.h"
#include "vmpeek/types.h"

// Kind flags reported by number parsing and taken by number formatting.
enum CfgKind : uint32_t {
  CfgHex = 1,
  CfgSigned = 2,
  CfgYesNo = 4,
  CfgTrueFalse = 8,
  CfgOnOff = 16,
};

// Width codes of GetNumber / SetNumber: 1 (boolean byte), 8, 16, 32, 64 unsigned, negative signed.
constexpr uint64_t kCfgNulTerminated = ~uint64_t{0};

class CfgBallEnum final {
 public:
  // Takes ownership of a malloc'd block of `total` units (NUL after each name), or null.
  CfgBallEnum(WCHAR* names, uint64_t total);

  virtual uint32_t AddRef();                              // 0
  virtual void Release();                                 // 1
  virtual void Reset();                                   // 2
  virtual bool Next(WCHAR* buffer, uint64_t capacity);    // 3

 private:
  ~CfgBallEnum();

  volatile uint32_t m_RefCount = 1;
  OwnedLock m_Lock;
  WCHAR* m_Names;
  uint64_t m_Total;
  uint64_t m_Position = 0;
};

class CfgBall final {
 public:
  virtual uint32_t AddRef();                                                          // 0
  virtual void Release();                                                             // 1
  virtual void Clear();                                                               // 2
  virtual uint64_t GetText(WCHAR* buffer, uint64_t capacity);                         // 3
  virtual uint64_t GetTextUtf8(uint8_t* bytes, uint64_t capacity);                    // 4
  virtual bool SetText(const WCHAR* text, uint64_t length);                           // 5
  virtual bool SetTextUtf8(const uint8_t* bytes, uint64_t length);                    // 6
  virtual bool DeleteSection(const WCHAR* section);                                   // 7
  virtual bool DeleteKey(const WCHAR* section, const WCHAR* key);                     // 8
  virtual CfgBallEnum* EnumSections();                                                // 9
  virtual CfgBallEnum* EnumKeys(const WCHAR* section);                                // 10
  virtual uint64_t GetValueLength(const WCHAR* section, const WCHAR* key);            // 11
  virtual bool GetString(const WCHAR* section, const WCHAR* key, WCHAR* buffer,
                         uint64_t capacity);                                          // 12
  virtual bool SetString(const WCHAR* section, const WCHAR* key, const WCHAR* value);  // 13
  virtual bool GetNumber(const WCHAR* section, const WCHAR* key, int32_t width, void* out);  // 14
  virtual bool SetNumber(const WCHAR* section, const WCHAR* key, int32_t width, int64_t value);  // 15

 private:
  friend CfgBall* CreateCfgBall();
  CfgBall() = default;
  ~CfgBall();

  // Grows the buffer to n + 1000 units when it holds fewer than n; false (nothing changed) when
  // the memory cannot be had.
  bool Reserve(uint64_t n);
  // Replaces units [start, end) of the text by a gap of `count` units (capacity already
  // reserved) and returns the gap for the caller to fill.
  WCHAR* Splice(uint64_t start, uint64_t end, uint64_t count);
  // The common edit of SetString (number == false) and SetNumber.
  bool Edit(const WCHAR* section, const WCHAR* key, const WCHAR* value, bool number, int32_t width,
            int64_t numberValue);
  CfgBallEnum* Enumerate(const WCHAR* section, bool sections);

  volatile uint32_t m_RefCount = 1;
  OwnedLock m_Lock;
  WCHAR* m_Text = nullptr;
  uint64_t m_Length = 0;
  uint64_t m_Capacity = 0;
};

// A new empty store with one reference, or null when memory runs out.
CfgBall* CreateCfgBall();
