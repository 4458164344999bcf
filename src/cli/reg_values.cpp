#include "cli/reg_values.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/wstr.h"

namespace {

// Registry names are at most 16383 units, data far less than this in practice; a guest that
// reports more is refused rather than followed into a huge allocation.
constexpr uint32_t kMaxName = 16384;
constexpr uint32_t kMaxData = 64u << 20;

std::u16string Utf16Of(const std::vector<uint8_t>& data, size_t from = 0) {
  std::u16string s;
  for (size_t i = from; i + 1 < data.size(); i += 2) s.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  return s;
}

// REG_SZ text without the terminating NUL units the data usually carries.
std::u16string StringOf(const std::vector<uint8_t>& data) {
  std::u16string s = Utf16Of(data);
  size_t nul = s.find(u'\0');
  if (nul != std::u16string::npos) s.resize(nul);
  return s;
}

std::vector<std::u16string> MultiOf(const std::vector<uint8_t>& data) {
  std::vector<std::u16string> out;
  std::u16string all = Utf16Of(data);
  size_t start = 0;
  while (start < all.size()) {
    size_t nul = all.find(u'\0', start);
    if (nul == std::u16string::npos) nul = all.size();
    if (nul == start) break;  // the empty string ends the list
    out.push_back(all.substr(start, nul - start));
    start = nul + 1;
  }
  return out;
}

uint64_t LittleEndian(const std::vector<uint8_t>& d, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(d[i]) << (8 * i);
  return v;
}

std::string Hex(const std::vector<uint8_t>& d) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 15]);
  }
  return s;
}

void PutUtf16(std::vector<uint8_t>* d, const std::u16string& s) {
  for (char16_t c : s) {
    d->push_back(static_cast<uint8_t>(c & 0xFF));
    d->push_back(static_cast<uint8_t>(c >> 8));
  }
  d->push_back(0);
  d->push_back(0);
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  unsigned long long v = strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno || !end || *end || v > max) return false;
  *out = v;
  return true;
}

std::u16string Quoted(const std::u16string& s) {
  std::u16string out = u"\"";
  for (char16_t c : s) {
    if (c == u'\\' || c == u'"') out.push_back(u'\\');
    out.push_back(c);
  }
  return out + u"\"";
}

}  // namespace

uint32_t ReadRegKey(HKEY key, RegKeyContents* contents) {
  uint32_t subkeys = 0, maxSubKey = 0, values = 0, maxName = 0, maxData = 0;
  LSTATUS st = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubKey, nullptr, &values, &maxName,
                                &maxData, nullptr, nullptr);
  if (st != 0) return static_cast<uint32_t>(st);
  std::vector<WCHAR> name(std::min(std::max(maxSubKey, maxName), kMaxName) + 1);
  for (uint32_t i = 0;; ++i) {
    uint32_t size = static_cast<uint32_t>(name.size());
    st = RegEnumKeyExW(key, i, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_MORE_DATA && name.size() < kMaxName + 1) {
      name.resize(kMaxName + 1);
      --i;
      continue;
    }
    if (st == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS)) break;
    if (st != 0) return static_cast<uint32_t>(st);
    contents->subkeys.emplace_back(name.data(), size);
  }
  std::vector<uint8_t> data(std::min(maxData, kMaxData) + 2);
  for (uint32_t i = 0;; ++i) {
    uint32_t nameSize = static_cast<uint32_t>(name.size());
    uint32_t dataSize = static_cast<uint32_t>(data.size());
    uint32_t type = 0;
    st = RegEnumValueW(key, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
    if (st == ERROR_MORE_DATA) {
      // The key changed under us or reported short maxima: grow within the caps and retry.
      if (name.size() < kMaxName + 1) name.resize(kMaxName + 1);
      if (dataSize > data.size() && dataSize <= kMaxData) data.resize(dataSize);
      else if (data.size() >= kMaxData) return ERROR_MORE_DATA;
      --i;
      continue;
    }
    if (st == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS)) break;
    if (st != 0) return static_cast<uint32_t>(st);
    RegValue v;
    v.name.assign(name.data(), nameSize);
    v.type = type;
    v.data.assign(data.begin(), data.begin() + std::min<size_t>(dataSize, data.size()));
    contents->values.push_back(std::move(v));
  }
  return 0;
}

uint32_t ReadRegValue(HKEY key, const std::u16string& name, RegValue* value) {
  uint32_t size = 0, type = 0;
  LSTATUS st = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  if (st != 0) return static_cast<uint32_t>(st);
  if (size > kMaxData) return ERROR_MORE_DATA;
  value->data.resize(size);
  st = RegQueryValueExW(key, name.c_str(), nullptr, &type, value->data.data(), &size);
  if (st != 0) return static_cast<uint32_t>(st);
  value->data.resize(std::min<size_t>(size, value->data.size()));
  value->name = name;
  value->type = type;
  return 0;
}

std::string RegTypeName(uint32_t type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case 8: return "REG_RESOURCE_LIST";
    case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
  }
  char text[24];
  snprintf(text, sizeof text, "REG_0x%x", type);
  return text;
}

bool ParseRegType(const std::string& text, uint32_t* type) {
  std::string t = text;
  std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::toupper(c); });
  if (t.rfind("REG_", 0) != 0) t = "REG_" + t;
  for (uint32_t candidate : {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN,
                             REG_MULTI_SZ, REG_QWORD})
    if (RegTypeName(candidate) == t) {
      *type = candidate;
      return true;
    }
  return false;
}

nlohmann::ordered_json RegDataJson(const RegValue& v) {
  switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK:
      return Utf16ToUtf8(StringOf(v.data));
    case REG_MULTI_SZ: {
      nlohmann::ordered_json a = nlohmann::ordered_json::array();
      for (const std::u16string& s : MultiOf(v.data)) a.push_back(Utf16ToUtf8(s));
      return a;
    }
    case REG_DWORD:
      if (v.data.size() == 4) return static_cast<uint32_t>(LittleEndian(v.data, 4));
      break;
    case REG_DWORD_BIG_ENDIAN:
      if (v.data.size() == 4)
        return static_cast<uint32_t>((v.data[0] << 24) | (v.data[1] << 16) | (v.data[2] << 8) | v.data[3]);
      break;
    case REG_QWORD:
      if (v.data.size() == 8) return LittleEndian(v.data, 8);
      break;
  }
  return Hex(v.data);
}

std::string RegDataText(const RegValue& v) {
  nlohmann::ordered_json j = RegDataJson(v);
  if (j.is_string()) return j.get<std::string>();
  if (j.is_number_unsigned()) {
    char text[40];
    snprintf(text, sizeof text, "0x%llx (%llu)", static_cast<unsigned long long>(j.get<uint64_t>()),
             static_cast<unsigned long long>(j.get<uint64_t>()));
    return text;
  }
  std::string out;
  for (const auto& s : j) out += (out.empty() ? "" : "\\0") + s.get<std::string>();
  return out;
}

std::u16string RegExportKey(const std::string& fullKeyName) { return u"[" + Utf8ToUtf16(fullKeyName) + u"]"; }

std::u16string RegExportValue(const RegValue& v) {
  std::u16string line = v.name.empty() ? u"@=" : Quoted(v.name) + u"=";
  if (v.type == REG_SZ) {
    std::u16string s = StringOf(v.data);
    bool plain = s.find_first_of(u"\r\n") == std::u16string::npos && (v.data.size() % 2 == 0) &&
                 (v.data.size() < 2 || v.data.size() == (s.size() + 1) * 2);
    if (plain) return line + Quoted(s);
  }
  if (v.type == REG_DWORD && v.data.size() == 4) {
    char text[16];
    snprintf(text, sizeof text, "dword:%08x", static_cast<uint32_t>(LittleEndian(v.data, 4)));
    return line + Utf8ToUtf16(text);
  }
  char prefix[16];
  if (v.type == REG_BINARY)
    snprintf(prefix, sizeof prefix, "hex:");
  else
    snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
  line += Utf8ToUtf16(prefix);
  // Hex bytes, wrapped before column 80 with a backslash and two spaces, as regedit writes them.
  size_t column = line.size();
  static const char16_t kDigits[] = u"0123456789abcdef";
  for (size_t i = 0; i < v.data.size(); ++i) {
    line.push_back(kDigits[v.data[i] >> 4]);
    line.push_back(kDigits[v.data[i] & 15]);
    column += 2;
    if (i + 1 < v.data.size()) {
      line.push_back(u',');
      ++column;
      if (column > 76) {
        line += u"\\\r\n  ";
        column = 2;
      }
    }
  }
  return line;
}

bool ParseRegData(uint32_t type, const std::vector<std::string>& args, std::vector<uint8_t>* data, std::string* error) {
  data->clear();
  if (type == REG_MULTI_SZ) {
    for (const std::string& a : args) PutUtf16(data, Utf8ToUtf16(a));
    if (args.empty()) PutUtf16(data, u"");
    data->push_back(0);
    data->push_back(0);
    return true;
  }
  if (args.size() > 1) {
    *error = "one data argument expected for " + RegTypeName(type);
    return false;
  }
  std::string a = args.empty() ? std::string() : args[0];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      PutUtf16(data, Utf8ToUtf16(a));
      return true;
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
      uint64_t v = 0;
      uint64_t max = type == REG_QWORD ? UINT64_MAX : UINT32_MAX;
      if (!ParseNumber(a, max, &v)) {
        *error = "'" + a + "' is not a " + RegTypeName(type) + " (decimal or 0x hex, 0 to " + std::to_string(max) + ")";
        return false;
      }
      size_t n = type == REG_QWORD ? 8 : 4;
      for (size_t i = 0; i < n; ++i) {
        size_t shift = type == REG_DWORD_BIG_ENDIAN ? 8 * (n - 1 - i) : 8 * i;
        data->push_back(static_cast<uint8_t>(v >> shift));
      }
      return true;
    }
    default: {  // REG_BINARY, REG_NONE: hex digits, commas and spaces between bytes allowed
      std::string digits;
      for (char c : a)
        if (c != ',' && c != ' ' && c != ':') digits.push_back(c);
      if (digits.size() % 2 || !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c); })) {
        *error = "'" + a + "' is not hex bytes (e.g. 01ff or 01,ff)";
        return false;
      }
      for (size_t i = 0; i < digits.size(); i += 2) data->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
      return true;
    }
  }
}
