#include "cli/guest_path.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/wstr.h"

namespace {

std::vector<std::u16string> Components(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(u"\\/", start);
    if (end == std::u16string::npos) end = path.size();
    std::u16string part = path.substr(start, end - start);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  return parts;
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

}  // namespace

std::u16string NormalizeGuestPath(const std::string& utf8) {
  std::u16string out;
  for (const std::u16string& part : Components(Utf8ToUtf16(utf8))) out += u"\\" + part;
  return out.empty() ? u"\\" : out;
}

char GuestPathDrive(const std::string& path, std::string* rest) {
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])) &&
      (path.size() == 2 || path[2] == '\\' || path[2] == '/')) {
    if (rest) *rest = path.substr(2);
    return static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  }
  if (rest) *rest = path;
  return 0;
}

std::u16string GuestBaseName(const std::u16string& path) {
  size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

std::string GuestKey::FullName() const {
  return subKey.empty() ? rootName : rootName + "\\" + Utf16ToUtf8(subKey);
}

bool ParseGuestKey(const std::string& text, GuestKey* key) {
  // Key names may hold "/" (never "\\"): only the root may be followed by either separator.
  const std::string& normal = text;
  size_t slash = normal.find_first_of("\\/");
  std::string root = Upper(normal.substr(0, slash));
  static const struct {
    const char* shortName;
    const char* longName;
    HKEY key;
  } kRoots[] = {
      {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
      {"HKU", "HKEY_USERS", HKEY_USERS},
      {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
      {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
  };
  for (const auto& r : kRoots) {
    if (root != r.shortName && root != r.longName) continue;
    key->root = r.key;
    key->rootName = r.longName;
    key->subKey.clear();
    if (slash != std::string::npos) {
      std::u16string rest = Utf8ToUtf16(normal.substr(slash + 1));
      size_t start = 0;
      while (start <= rest.size()) {
        size_t end = rest.find(u'\\', start);
        if (end == std::u16string::npos) end = rest.size();
        if (end > start) {
          if (!key->subKey.empty()) key->subKey += u'\\';
          key->subKey += rest.substr(start, end - start);
        }
        start = end + 1;
      }
    }
    return true;
  }
  return false;
}
