// vmpeek inspect TARGET: what an analyst asks first about a Windows guest, read the way a host
// does it: the system volume mounted, its registry loaded, and this thread's registry and files
// redirected into the guest while the facts are read.
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/guest_drives.h"
#include "cli/guest_files.h"
#include "cli/reg_values.h"
#include "platform/win_file.h"
#include "platform/wstr.h"

namespace {

struct InspectOptions {
  GuestOptions guest;
  bool json = false;
};

const char16_t kCurrentVersion[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// One key below HKEY_LOCAL_MACHINE as this thread sees it (redirected into the guest), read
// once: its subkeys and values; a key that does not open is empty.
class Key {
 public:
  explicit Key(const std::u16string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != 0) return;
    ReadRegKey(key, &m_Contents);
    RegCloseKey(key);
  }
  const std::vector<std::u16string>& Subkeys() const { return m_Contents.subkeys; }
  // Value names compare without case, as the registry's do.
  const RegValue* Find(const std::u16string& name) const {
    for (const RegValue& v : m_Contents.values)
      if (WStrICmpAZ(v.name.c_str(), name.c_str()) == 0) return &v;
    return nullptr;
  }
  Json Text(const std::u16string& name) const {
    const RegValue* v = Find(name);
    if (!v) return Json();
    Json j = RegDataJson(*v);
    return j.is_string() ? j : Json(RegDataText(*v));
  }
  Json Number(const std::u16string& name) const {
    const RegValue* v = Find(name);
    if (!v) return Json();
    Json j = RegDataJson(*v);
    return j.is_number() ? j : Json();
  }

 private:
  RegKeyContents m_Contents;
};

// The control set the guest boots with: the CurrentControlSet link when the guest names one.
std::u16string ControlSet() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet", 0, KEY_READ, &key) == 0) {
    RegCloseKey(key);
    return u"SYSTEM\\CurrentControlSet";
  }
  return u"SYSTEM\\ControlSet001";
}

Json OperatingSystem() {
  const Key cv(kCurrentVersion);
  Json os;
  os["product_name"] = cv.Text(u"ProductName");
  Json major = cv.Number(u"CurrentMajorVersionNumber");
  Json minor = cv.Number(u"CurrentMinorVersionNumber");
  if (major.is_number() && minor.is_number())
    os["version"] = std::to_string(major.get<uint64_t>()) + "." + std::to_string(minor.get<uint64_t>());
  else
    os["version"] = cv.Text(u"CurrentVersion");
  Json build = cv.Text(u"CurrentBuildNumber");
  os["build"] = build.is_null() ? cv.Text(u"CurrentBuild") : build;
  os["edition"] = cv.Text(u"EditionID");
  os["display_version"] = cv.Text(u"DisplayVersion");
  os["service_pack"] = cv.Text(u"CSDVersion");
  os["installation_type"] = cv.Text(u"InstallationType");
  os["system_root"] = cv.Text(u"SystemRoot");
  Json installed = cv.Number(u"InstallDate");
  os["install_date"] = installed.is_number() ? Json(FileTimeText(installed.get<uint64_t>() * 10000000ull + 116444736000000000ull)) : Json();
  return os;
}

Json Programs() {
  Json all = Json::array();
  const struct {
    const char16_t* path;
    const char* arch;
  } kKeys[] = {{u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "native"},
               {u"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "32-bit"}};
  for (const auto& k : kKeys) {
    const Key list(k.path);
    for (const std::u16string& id : list.Subkeys()) {
      const Key key(std::u16string(k.path) + u"\\" + id);
      Json name = key.Text(u"DisplayName");
      if (!name.is_string() || name.get<std::string>().empty()) continue;
      Json p;
      p["name"] = name;
      p["version"] = key.Text(u"DisplayVersion");
      p["publisher"] = key.Text(u"Publisher");
      p["install_date"] = key.Text(u"InstallDate");
      p["architecture"] = k.arch;
      p["key"] = Utf16ToUtf8(id);
      all.push_back(p);
    }
  }
  return all;
}

Json Users() {
  Json all = Json::array();
  std::u16string list = std::u16string(kCurrentVersion) + u"\\ProfileList";
  const Key profiles(list);
  for (const std::u16string& sid : profiles.Subkeys()) {
    Json u;
    u["sid"] = Utf16ToUtf8(sid);
    u["profile_path"] = Key(list + u"\\" + sid).Text(u"ProfileImagePath");
    all.push_back(u);
  }
  return all;
}

Json LastShutdown(const std::u16string& controlSet) {
  const Key windows(controlSet + u"\\Control\\Windows");
  const RegValue* v = windows.Find(u"ShutdownTime");
  if (!v || v->data.size() != 8) return Json();
  uint64_t t = 0;
  for (int i = 7; i >= 0; --i) t = (t << 8) | v->data[i];
  return FileTimeText(t);
}

void PrintText(const Json& j) {
  auto show = [](const Json& v) { return v.is_null() ? std::string("-") : v.is_string() ? v.get<std::string>() : v.dump(); };
  const Json& os = j["os"];
  printf("operating system:  %s\n", show(os["product_name"]).c_str());
  printf("version:           %s (build %s)\n", show(os["version"]).c_str(), show(os["build"]).c_str());
  printf("edition:           %s\n", show(os["edition"]).c_str());
  printf("system root:       %s\n", show(os["system_root"]).c_str());
  printf("installed:         %s\n", show(os["install_date"]).c_str());
  printf("computer name:     %s\n", show(j["computer_name"]).c_str());
  printf("time zone:         %s\n", show(j["time_zone"]).c_str());
  printf("last shutdown:     %s\n", show(j["last_shutdown"]).c_str());
  printf("drives:\n");
  for (const Json& d : j["drives"])
    printf("  %-3s disk %s partition %-5s %-8s %s\n", show(d["letter"]).c_str(), show(d["disk"]).c_str(),
           show(d["partition"]).c_str(), show(d["filesystem"]).c_str(), show(d["label"]).c_str());
  printf("users:\n");
  for (const Json& u : j["users"]) printf("  %-48s %s\n", show(u["sid"]).c_str(), show(u["profile_path"]).c_str());
  printf("installed programs (%zu):\n", j["programs"].size());
  for (const Json& p : j["programs"])
    printf("  %s %s%s%s\n", show(p["name"]).c_str(), p["version"].is_null() ? "" : show(p["version"]).c_str(),
           p["publisher"].is_null() ? "" : " - ", p["publisher"].is_null() ? "" : show(p["publisher"]).c_str());
}

int RunInspect(Plugin& plugin, const InspectOptions& o) {
  Host host(plugin);
  GuestSession session(host, plugin, o.guest);
  if (int rc = session.Open(false, true)) return rc;
  vmpeek::CMountedVirtualPartition* volume = session.Volume();
  std::vector<DriveRow> drives;
  if (int rc = CollectDrives(session, &drives)) return rc;

  // The guest's facts through this thread's redirected registry, as ordinary host code would
  // read its own; the system root is checked through redirected files on C:.
  if (!volume->StartRegistryVirtualisation()) return session.Fail("redirecting the registry into the guest", ERROR_NOT_SUPPORTED);
  Json j;
  j["target"] = session.Target();
  j["os"] = OperatingSystem();
  std::u16string controlSet = ControlSet();
  j["computer_name"] = Key(controlSet + u"\\Control\\ComputerName\\ComputerName").Text(u"ComputerName");
  const Key zones(controlSet + u"\\Control\\TimeZoneInformation");
  Json zone = zones.Text(u"TimeZoneKeyName");
  j["time_zone"] = zone.is_null() ? zones.Text(u"StandardName") : zone;
  j["last_shutdown"] = LastShutdown(controlSet);
  j["users"] = Users();
  j["programs"] = Programs();
  bool files = volume->StartFileVirtualisation(u'C');
  if (files) {
    uint32_t attributes = GetFileAttributesW(u"C:\\Windows");
    j["os"]["system_root_present"] = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  volume->StopVirtualisation();
  j["drives"] = Json::array();
  for (const DriveRow& d : drives) j["drives"].push_back(DriveJson(d));
  if (o.json)
    PrintJson(j);
  else
    PrintText(j);
  return kExitOk;
}

}  // namespace

void AddInspectCommand(CLI::App& app, CommandRunner* runner) {
  auto o = std::make_shared<InspectOptions>();
  CLI::App* c = app.add_subcommand("inspect", "Describe a Windows guest: system, version, computer name, time zone, "
                                              "drives, users, installed programs, last shutdown");
  AddGuestOptions(c, &o->guest, false);
  c->add_flag("--json", o->json, "Print one JSON object");
  c->callback([runner, o] { runner->run = [o](Plugin& plugin) { return RunInspect(plugin, *o); }; });
}
