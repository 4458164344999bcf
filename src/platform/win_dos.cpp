// Drive devices, the temporary folder and full path names.
#include <cstdlib>
#include <string>

#include "platform/loader.h"
#include "platform/path.h"
#include "platform/win_file.h"
#include "platform/win_path.h"

namespace {

// Copies text that holds its own terminators; the size needed when it does not fit.
uint32_t PutMulti(const std::u16string& text, WCHAR* buffer, uint32_t size) {
  if (!buffer || text.size() > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(text.begin(), text.end(), buffer);
  return static_cast<uint32_t>(text.size());
}

// Copies a string with its terminator: its length, or the size needed (terminator included).
uint32_t PutString(const std::u16string& text, WCHAR* buffer, uint32_t size) {
  if (!buffer || text.size() >= size) return static_cast<uint32_t>(text.size() + 1);
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return static_cast<uint32_t>(text.size());
}

}  // namespace

extern "C" {

uint32_t QueryDosDeviceW(const WCHAR* deviceName, WCHAR* targetPath, uint32_t size) {
  std::u16string out;
  if (!deviceName) {
    for (char16_t l = u'A'; l <= u'Z'; ++l) {
      std::string root;
      if (!PlatformDriveRoot(l, &root, false)) continue;
      out.push_back(l);
      out += u":";
      out.push_back(0);
    }
  } else {
    std::u16string name(deviceName);
    char16_t l = name.size() == 2 && name[1] == u':' ? name[0] : 0;
    if (l >= u'a' && l <= u'z') l = static_cast<char16_t>(l - 32);
    std::string root;
    if (!l || !PlatformDriveRoot(l, &root, false)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    out = PlatformDriveDevice(l);
    out.push_back(0);
  }
  out.push_back(0);
  return PutMulti(out, targetPath, size);
}

uint32_t GetTempPathW(uint32_t size, WCHAR* buffer) {
  const char* tmp = getenv("TMPDIR");
  std::u16string path = PlatformPosixToWindows(tmp && *tmp == '/' ? tmp : "/tmp");
  if (path.back() != u'\\') path += u"\\";
  return PutString(path, buffer, size);
}

uint32_t GetFullPathNameW(const WCHAR* path, uint32_t size, WCHAR* buffer, WCHAR** filePart) {
  if (filePart) *filePart = nullptr;
  if (!path || !path[0]) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  std::u16string full;
  size_t part = std::u16string::npos;
  uint32_t err = PlatformFullPath(path, &full, &part);
  if (err) {
    SetLastError(err);
    return 0;
  }
  uint32_t n = PutString(full, buffer, size);
  if (n == full.size() && filePart && part != std::u16string::npos) *filePart = buffer + part;
  return n;
}

}  // extern "C"
