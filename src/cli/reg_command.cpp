// vmpeek reg TARGET query|export|set|delete: the guest registry, read through the mounted
// partition's registry slots and the platform's registry calls.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/fd_io.h"
#include "cli/guest_path.h"
#include "cli/guest_session.h"
#include "cli/json_output.h"
#include "cli/reg_values.h"
#include "platform/wstr.h"

namespace {

struct RegOptions {
  GuestOptions guest;
  std::string key, value, type, output;
  std::vector<std::string> data;
  bool json = false;
  bool valueGiven = false;  // VALUE/NAME given, even as "" (the default value)
};

class KeyRef {
 public:
  KeyRef() = default;
  ~KeyRef() {
    if (m_Key) RegCloseKey(m_Key);
  }
  KeyRef(const KeyRef&) = delete;
  KeyRef& operator=(const KeyRef&) = delete;
  HKEY* Out() { return &m_Key; }
  HKEY Get() const { return m_Key; }

 private:
  HKEY m_Key = nullptr;
};

// "@" and "" both name the default value on the command line.
std::u16string ValueName(const std::string& text) { return text == "@" ? u"" : Utf8ToUtf16(text); }

int ParseKey(const RegOptions& o, GuestKey* key) {
  if (ParseGuestKey(o.key, key)) return kExitOk;
  ReportMessage("'" + o.key + "' is not a registry key: start it with HKLM, HKU, HKCR or HKCU (or their long names)");
  return kExitUsage;
}

int OpenKey(GuestSession& s, const GuestKey& key, uint32_t access, KeyRef* out) {
  uint32_t st = s.Volume()->RegOpenKeyEx(key.root, key.subKey.c_str(), access, out->Out());
  return st ? s.Fail("opening " + key.FullName(), st) : kExitOk;
}

int Query(GuestSession& s, const RegOptions& o, const GuestKey& key) {
  KeyRef k;
  if (int rc = OpenKey(s, key, KEY_READ, &k)) return rc;
  RegKeyContents c;
  if (o.valueGiven) {
    RegValue v;
    if (uint32_t st = ReadRegValue(k.Get(), ValueName(o.value), &v)) return s.Fail("reading " + key.FullName() + " value " + o.value, st);
    c.values.push_back(v);
  } else if (uint32_t st = ReadRegKey(k.Get(), &c)) {
    return s.Fail("reading " + key.FullName(), st);
  }
  if (o.json) {
    Json j;
    j["key"] = key.FullName();
    j["subkeys"] = Json::array();
    for (const std::u16string& sk : c.subkeys) j["subkeys"].push_back(Utf16ToUtf8(sk));
    j["values"] = Json::array();
    for (const RegValue& v : c.values)
      j["values"].push_back({{"name", Utf16ToUtf8(v.name)}, {"type", RegTypeName(v.type)}, {"data", RegDataJson(v)}});
    PrintJson(j);
    return kExitOk;
  }
  printf("%s\n", key.FullName().c_str());
  for (const RegValue& v : c.values)
    printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : Utf16ToUtf8(v.name).c_str(), RegTypeName(v.type).c_str(),
           RegDataText(v).c_str());
  if (!c.subkeys.empty()) printf("\n");
  for (const std::u16string& sk : c.subkeys) printf("%s\\%s\n", key.FullName().c_str(), Utf16ToUtf8(sk).c_str());
  return kExitOk;
}

// Appends the key and everything below it in the .reg text format.
int ExportKey(GuestSession& s, const GuestKey& key, HKEY handle, std::u16string* out, int depth) {
  if (depth > 512) return s.Fail("exporting " + key.FullName() + ": keys nested too deep", ERROR_BADDB);
  RegKeyContents c;
  if (uint32_t st = ReadRegKey(handle, &c)) return s.Fail("reading " + key.FullName(), st);
  *out += RegExportKey(key.FullName()) + u"\r\n";
  for (const RegValue& v : c.values) *out += RegExportValue(v) + u"\r\n";
  *out += u"\r\n";
  for (const std::u16string& name : c.subkeys) {
    GuestKey child = key;
    child.subKey = key.subKey.empty() ? name : key.subKey + u"\\" + name;
    KeyRef k;
    uint32_t st = static_cast<uint32_t>(RegOpenKeyExW(handle, name.c_str(), 0, KEY_READ, k.Out()));
    if (st) return s.Fail("opening " + child.FullName(), st);
    if (int rc = ExportKey(s, child, k.Get(), out, depth + 1)) return rc;
  }
  return kExitOk;
}

int Export(GuestSession& s, const RegOptions& o, const GuestKey& key) {
  KeyRef k;
  if (int rc = OpenKey(s, key, KEY_READ, &k)) return rc;
  std::u16string text = u"\xFEFFWindows Registry Editor Version 5.00\r\n\r\n";
  if (int rc = ExportKey(s, key, k.Get(), &text, 0)) return rc;
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  int fd = OpenOutput(o.output);
  if (fd < 0 || !WriteFully(fd, bytes.data(), bytes.size()) || (fd != STDOUT_FILENO && close(fd) != 0)) {
    ReportMessage((o.output.empty() ? std::string("standard output") : o.output) + ": " + strerror(errno));
    return kExitFailure;
  }
  return kExitOk;
}

// Changes reach the hive file when the key is flushed: a failure there is the command's.
int Flush(GuestSession& s, const GuestKey& key, HKEY handle) {
  LSTATUS st = RegFlushKey(handle);
  return st ? s.Fail("writing the hive of " + key.FullName(), static_cast<uint32_t>(st)) : kExitOk;
}

int Set(GuestSession& s, const RegOptions& o, const GuestKey& key) {
  uint32_t type = 0;
  if (!ParseRegType(o.type, &type)) {
    ReportMessage("unknown value type '" + o.type + "' (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE)");
    return kExitUsage;
  }
  std::vector<uint8_t> data;
  std::string error;
  if (!ParseRegData(type, o.data, &data, &error)) {
    ReportMessage(error);
    return kExitUsage;
  }
  KeyRef k;
  uint32_t disposition = 0;
  uint32_t st = s.Volume()->RegCreateKeyEx(key.root, key.subKey.c_str(), KEY_ALL_ACCESS, k.Out(), &disposition);
  if (st) return s.Fail("opening " + key.FullName(), st);
  st = static_cast<uint32_t>(RegSetValueExW(k.Get(), ValueName(o.value).c_str(), 0, type, data.data(),
                                            static_cast<uint32_t>(data.size())));
  if (st) return s.Fail("setting " + key.FullName() + " value " + o.value, st);
  return Flush(s, key, k.Get());
}

uint32_t DeleteTree(HKEY parent, const std::u16string& name, int depth) {
  if (depth > 512) return ERROR_BADDB;
  {
    KeyRef k;
    uint32_t st = static_cast<uint32_t>(RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, k.Out()));
    if (st) return st;
    RegKeyContents c;
    if ((st = ReadRegKey(k.Get(), &c))) return st;
    for (const std::u16string& child : c.subkeys)
      if ((st = DeleteTree(k.Get(), child, depth + 1))) return st;
  }
  return static_cast<uint32_t>(RegDeleteKeyW(parent, name.c_str()));
}

int Delete(GuestSession& s, const RegOptions& o, const GuestKey& key) {
  if (o.valueGiven) {
    KeyRef k;
    if (int rc = OpenKey(s, key, KEY_ALL_ACCESS, &k)) return rc;
    uint32_t st = static_cast<uint32_t>(RegDeleteValueW(k.Get(), ValueName(o.value).c_str()));
    if (st) return s.Fail("deleting " + key.FullName() + " value " + o.value, st);
    return Flush(s, key, k.Get());
  }
  size_t slash = key.subKey.rfind(u'\\');
  if (key.subKey.empty() || (slash == std::u16string::npos && key.root != HKEY_LOCAL_MACHINE && key.root != HKEY_USERS)) {
    ReportMessage("refusing to delete " + key.FullName() + ": name a key below a hive's root");
    return kExitUsage;
  }
  if (slash == std::u16string::npos) {
    ReportMessage("refusing to delete " + key.FullName() + ": it is a loaded hive, not a key");
    return kExitUsage;
  }
  GuestKey parent = key;
  parent.subKey = key.subKey.substr(0, slash);
  KeyRef p;
  if (int rc = OpenKey(s, parent, KEY_ALL_ACCESS, &p)) return rc;
  uint32_t st = DeleteTree(p.Get(), key.subKey.substr(slash + 1), 0);
  if (st) return s.Fail("deleting " + key.FullName(), st);
  return Flush(s, parent, p.Get());
}

}  // namespace

void AddRegCommand(CLI::App& app, CommandRunner* runner) {
  auto o = std::make_shared<RegOptions>();
  CLI::App* reg = app.add_subcommand("reg", "Read and change the guest's registry (SYSTEM, SOFTWARE, DEFAULT)");
  AddGuestOptions(reg, &o->guest, true);
  reg->require_subcommand(1);
  using Action = int (*)(GuestSession&, const RegOptions&, const GuestKey&);
  auto bind = [runner, o](CLI::App* c, Action action, bool writable) {
    c->callback([runner, o, c, action, writable] {
      CLI::Option* name = c->get_option_no_throw(c->get_name() == "query" ? "VALUE" : "NAME");
      o->valueGiven = name && name->count() > 0;
      runner->run = [o, action, writable](Plugin& plugin) {
        GuestKey key;
        if (int rc = ParseKey(*o, &key)) return rc;
        Host host(plugin);
        GuestSession session(host, plugin, o->guest);
        if (int rc = session.Open(writable, true)) return rc;
        return action(session, *o, key);
      };
    });
  };
  CLI::App* q = reg->add_subcommand("query", "Show a key's subkeys and values, or one value");
  q->add_option("KEY", o->key, "HKLM\\SOFTWARE\\..., HKU\\.DEFAULT\\..., HKCR\\..., HKCU\\...")->required();
  q->add_option("VALUE", o->value, "One value's name (@ or \"\" for the default value)");
  q->add_flag("--json", o->json, "Print one JSON object");
  bind(q, Query, false);
  CLI::App* e = reg->add_subcommand("export", "Write a key and everything below it as a .reg file");
  e->add_option("KEY", o->key, "Key to export")->required();
  e->add_option("-o,--output", o->output, "File to write (default: standard output)");
  bind(e, Export, false);
  CLI::App* s = reg->add_subcommand("set", "Set a value, making its key when missing (writable)");
  s->add_option("KEY", o->key, "Key")->required();
  s->add_option("NAME", o->value, "Value name (@ or \"\" for the default value)")->required();
  s->add_option("--type", o->type, "REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE")->required();
  s->add_option("DATA", o->data, "The data: a number (decimal or 0x hex), hex bytes, a string, or one string per "
                                 "argument for REG_MULTI_SZ");
  bind(s, Set, true);
  CLI::App* d = reg->add_subcommand("delete", "Delete a value, or a key with everything below it (writable)");
  d->add_option("KEY", o->key, "Key")->required();
  d->add_option("NAME", o->value, "Value name (@ or \"\" for the default value); none deletes the key");
  bind(d, Delete, true);
}
