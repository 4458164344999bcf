// Windows paths to host paths and volumes: drive map, path forms, lexical folding, per-component
// case-insensitive matching of host names.
#include "platform/path.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/host_names.h"
#include "platform/status.h"
#include "platform/win_path.h"
#include "platform/wstr.h"

namespace {

constexpr size_t kMaxPathUnits = 32767;

char16_t UpperLetter(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }
bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
bool IsSep(char16_t c) { return c == u'\\' || c == u'/'; }

// Makes a folder and its parents.
bool MakeFolders(const std::string& path) {
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    cur = path.substr(0, pos);
    if (cur.empty()) continue;
    if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string DefaultDriveC() {
  const char* prefix = getenv("VMPEEK_PREFIX");
  if (prefix && *prefix) return std::string(prefix) + "/drive_c";
  const char* home = getenv("HOME");
  std::string h = home && *home ? home : "";
  if (h.empty()) {
    struct passwd* pw = getpwuid(getuid());
    h = pw && pw->pw_dir ? pw->pw_dir : "/tmp";
  }
  return h + "/.local/share/vmpeek/drive_c";
}

// Lexical form of a path: where it starts and its folded components.
struct LexPath {
  bool onVolume = false;
  VolumeMatch volume;
  char16_t drive = 0;
  std::u16string prefix;  // as the full path shows it: "C:", "\\?\C:", a volume root as written
  std::vector<std::u16string> parts;
  bool trailingSep = false;
};

void SplitParts(const std::u16string& rest, bool strip, LexPath* out) {
  std::u16string cur;
  auto flush = [&]() {
    if (cur == u"..") {
      if (!out->parts.empty()) out->parts.pop_back();  // never above the root
    } else if (!cur.empty() && cur != u".") {
      // Win32 names lose trailing dots and spaces ("file." is "file"), not the "\\?\" forms.
      bool pattern = cur.find_first_of(u"*?<>\"") != std::u16string::npos;
      if (strip && !pattern)
        while (!cur.empty() && (cur.back() == u'.' || cur.back() == u' ')) cur.pop_back();
      if (!cur.empty()) out->parts.push_back(cur);
    }
    cur.clear();
  };
  for (char16_t c : rest) {
    if (IsSep(c)) flush();
    else cur.push_back(c);
  }
  flush();
  out->trailingSep = !rest.empty() && IsSep(rest.back()) && !out->parts.empty();
}

uint32_t Lex(const std::u16string& path, LexPath* out, int depth = 0) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  if (path.size() > kMaxPathUnits) return ERROR_FILENAME_EXCED_RANGE;
  VolumeMatch v;
  if (VolumeMatchPath(path, &v)) {
    out->onVolume = true;
    out->prefix = path.substr(0, v.restOffset);
    out->volume = std::move(v);
    SplitParts(path.substr(out->prefix.size()), false, out);
    return ERROR_SUCCESS;
  }
  std::u16string p = path;
  bool device = p.size() >= 4 && IsSep(p[0]) && IsSep(p[3]) &&
                ((p[1] == u'?' && p[2] == u'?') || (IsSep(p[1]) && (p[2] == u'?' || p[2] == u'.')));
  size_t at = device ? 4 : 0;
  bool global = device && FoldName(p.substr(at, 10)) == u"GLOBALROOT" && (p.size() == at + 10 || IsSep(p[at + 10]));
  if (global) at += 10;
  static const std::u16string kDevice = u"\\DEVICE\\VMPEEKDRIVE_";
  std::u16string head = FoldName(p.substr(at, kDevice.size()));
  for (auto& c : head)
    if (c == u'/') c = u'\\';
  if (head == kDevice && p.size() > at + kDevice.size() && IsLetter(p[at + kDevice.size()]) &&
      (p.size() == at + kDevice.size() + 1 || IsSep(p[at + kDevice.size() + 1]))) {
    out->drive = UpperLetter(p[at + kDevice.size()]);
    std::string root;
    if (!PlatformDriveRoot(out->drive, &root, false)) return ERROR_PATH_NOT_FOUND;
    out->prefix = p.substr(0, at + kDevice.size() + 1);
    SplitParts(p.substr(out->prefix.size()), false, out);
    return ERROR_SUCCESS;
  }
  if (p.size() >= at + 2 && IsLetter(p[at]) && p[at + 1] == u':') {
    out->drive = UpperLetter(p[at]);
    out->prefix = p.substr(0, at);
    out->prefix.push_back(out->drive);
    out->prefix.push_back(u':');
    SplitParts(p.substr(at + 2), !device, out);
    return ERROR_SUCCESS;
  }
  if (global) return ERROR_PATH_NOT_FOUND;  // a device that is not (or no longer) there
  if (device) return ERROR_INVALID_NAME;   // UNC and other devices are not served
  if (p.size() >= 2 && IsSep(p[0]) && IsSep(p[1])) return ERROR_BAD_NETPATH;
  char cwd[PATH_MAX];
  if (depth > 0 || !getcwd(cwd, sizeof cwd)) return ERROR_PATH_NOT_FOUND;
  std::u16string base = PlatformPosixToWindows(cwd);
  if (IsSep(p[0])) return Lex(base.substr(0, 2) + p, out, depth + 1);  // rooted: the current drive
  return Lex(base + u"\\" + p, out, depth + 1);
}

// The entry of dir whose Windows name equals name ignoring case (the smallest such host name,
// for a stable answer), or empty.
std::string FindCaseInsensitive(const std::string& dir, const std::u16string& name) {
  DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
  if (!d) return {};
  std::u16string want = FoldName(name);
  std::string best;
  while (dirent* e = readdir(d)) {
    if (FoldName(HostNameToWindows(e->d_name)) == want && (best.empty() || strcmp(e->d_name, best.c_str()) < 0))
      best = e->d_name;
  }
  closedir(d);
  return best;
}

bool HasWildcard(const std::u16string& s) {
  for (char16_t c : s)
    if (c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'"') return true;
  return false;
}

}  // namespace

bool PlatformDriveRoot(char16_t letter, std::string* root, bool create) {
  char16_t up = UpperLetter(letter);
  if (up < u'A' || up > u'Z') return false;
  char var[] = "VMPEEK_DRIVE_X";
  var[sizeof var - 2] = static_cast<char>(up);
  const char* v = getenv(var);
  if (v && *v) {
    *root = v;
  } else if (up == u'Z') {
    *root = "/";
  } else if (up == u'C') {
    *root = DefaultDriveC();
    if (create && !MakeFolders(*root)) return false;
  } else {
    return false;
  }
  while (root->size() > 1 && root->back() == '/') root->pop_back();
  return true;
}

std::u16string PlatformDriveDevice(char16_t letter) {
  return std::u16string(u"\\Device\\VmpeekDrive_") + UpperLetter(letter);
}

char16_t PlatformDriveOfDevice(const WCHAR* device) {
  if (!device) return 0;
  std::u16string d = FoldName(device);
  static const std::u16string kDevice = u"\\DEVICE\\VMPEEKDRIVE_";
  if (d.size() != kDevice.size() + 1 || d.compare(0, kDevice.size(), kDevice) != 0) return 0;
  std::string root;
  char16_t letter = d.back();
  return PlatformDriveRoot(letter, &root, false) ? letter : 0;
}

std::u16string PlatformTarget::FileKey() const { return volume.key + u"\\" + FoldName(inner); }

uint32_t PlatformResolvePath(const WCHAR* path, uint32_t flags, PlatformTarget* t) {
  *t = PlatformTarget();
  if (!path) return ERROR_PATH_NOT_FOUND;
  LexPath lex;
  uint32_t err = Lex(path, &lex);
  if (err) return err;
  if (!lex.onVolume && !(flags & RESOLVE_NO_REDIRECT)) {
    std::u16string key;
    if (lex.drive && VolumeRedirectedDrive(&key) == lex.drive) {
      if (!VolumeByKey(key, &lex.volume)) return ERROR_PATH_NOT_FOUND;
      lex.onVolume = true;
    }
  }
  for (size_t i = 0; i < lex.parts.size(); ++i) {
    bool pattern = (flags & RESOLVE_WILDCARD_LAST) && i + 1 == lex.parts.size();
    if (!IsValidWindowsComponent(lex.parts[i], pattern)) return ERROR_INVALID_NAME;
  }
  t->isRoot = lex.parts.empty();
  t->trailingSeparator = lex.trailingSep;
  if (!lex.parts.empty()) t->name = lex.parts.back();
  if (lex.onVolume) {
    t->onVolume = true;
    t->volume = std::move(lex.volume);
    for (const auto& part : lex.parts) t->inner += u"\\" + part;
    if (t->inner.empty()) t->inner = u"\\";
    return ERROR_SUCCESS;
  }
  t->drive = lex.drive;
  std::string root;
  if (!PlatformDriveRoot(lex.drive, &root, true)) return ERROR_PATH_NOT_FOUND;
  std::string out = root == "/" ? "" : root;
  for (size_t i = 0; i < lex.parts.size(); ++i) {
    std::string bytes;
    if (!WindowsNameToHost(lex.parts[i], &bytes)) return ERROR_INVALID_NAME;
    t->posixParent = out.empty() ? "/" : out;
    std::string next = out + "/" + bytes;
    bool pattern = (flags & RESOLVE_WILDCARD_LAST) && i + 1 == lex.parts.size() && HasWildcard(lex.parts[i]);
    struct stat st;
    if (!(flags & RESOLVE_EXACT_CASE) && !pattern && lstat(next.c_str(), &st) != 0 && errno == ENOENT) {
      std::string found = FindCaseInsensitive(t->posixParent, lex.parts[i]);
      if (!found.empty()) next = out + "/" + found;
    }
    out = next;
  }
  t->posix = out.empty() ? "/" : out;
  if (t->isRoot) t->posixParent = t->posix;
  return ERROR_SUCCESS;
}

uint32_t PlatformFullPath(const WCHAR* path, std::u16string* full, size_t* filePart) {
  if (!path) return ERROR_INVALID_PARAMETER;
  LexPath lex;
  uint32_t err = Lex(path, &lex);
  if (err) return err;
  std::u16string out = lex.prefix;
  if (lex.parts.empty()) out += u"\\";
  size_t last = std::u16string::npos;
  for (const auto& part : lex.parts) {
    out += u"\\";
    last = out.size();
    out += part;
  }
  if (lex.trailingSep) {
    out += u"\\";
    last = std::u16string::npos;
  }
  *full = std::move(out);
  *filePart = last;
  return ERROR_SUCCESS;
}

uint32_t PlatformMissingError(const PlatformTarget& t) {
  struct stat st;
  if (stat(t.posixParent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

NTSTATUS PlatformMapPath(const WCHAR* path, bool caseInsensitive, std::string* posix) {
  if (!path) return STATUS_OBJECT_NAME_INVALID;
  PlatformTarget t;
  uint32_t err = PlatformResolvePath(path, RESOLVE_NO_REDIRECT | (caseInsensitive ? 0 : RESOLVE_EXACT_CASE), &t);
  if (err == ERROR_INVALID_NAME || err == ERROR_BAD_NETPATH) return STATUS_OBJECT_NAME_INVALID;
  if (err == ERROR_FILENAME_EXCED_RANGE) return STATUS_NAME_TOO_LONG;
  if (err || t.onVolume) return STATUS_OBJECT_PATH_NOT_FOUND;
  *posix = t.posix;
  return STATUS_SUCCESS;
}

std::u16string PlatformPosixToWindows(const std::string& posixIn) {
  std::string posix = posixIn;
  if (posix.empty() || posix[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd)) posix = std::string(cwd) + (posix.empty() ? "" : "/" + posix);
  }
  // Prefer a drive whose root holds the path (the longest root wins); Z: is "/" by default.
  char16_t best = 0;
  size_t bestLen = 0;
  for (char16_t l = u'A'; l <= u'Z'; ++l) {
    std::string root;
    if (!PlatformDriveRoot(l, &root, false)) continue;
    size_t len = root == "/" ? 0 : root.size();
    bool under = root == "/" || posix == root || posix.rfind(root + "/", 0) == 0;
    if (under && (!best || len > bestLen)) { best = l; bestLen = len; }
  }
  if (!best) { best = u'Z'; bestLen = 0; }
  std::u16string out;
  out.push_back(best);
  out += u":";
  std::string rest = posix.substr(bestLen);
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t slash = rest.find('/', pos);
    if (slash == std::string::npos) slash = rest.size();
    if (slash > pos) out += u"\\" + HostNameToWindows(rest.substr(pos, slash - pos));
    pos = slash + 1;
  }
  if (out.size() == 2) out += u"\\";
  return out;
}
