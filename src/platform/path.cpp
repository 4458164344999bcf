// Windows paths to POSIX by drive letter, with per-component case-insensitive matching.
#include "platform/path.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/status.h"
#include "platform/wstr.h"

namespace {

// Root folder of a drive letter, or false when the letter is not mapped.
bool DriveRoot(char16_t letter, std::string* root) {
  char up = static_cast<char>(letter >= u'a' && letter <= u'z' ? letter - 32 : letter);
  if (up < 'A' || up > 'Z') return false;
  char var[] = "VMPEEK_DRIVE_X";
  var[sizeof var - 2] = up;
  const char* v = getenv(var);
  if (v && *v) {
    *root = v;
  } else if (up == 'Z') {
    *root = "/";
  } else {
    return false;
  }
  while (root->size() > 1 && root->back() == '/') root->pop_back();
  return true;
}

bool Exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::u16string Upper(const std::u16string& s) {
  std::u16string u = s;
  for (auto& c : u) c = WCharUpper(c);
  return u;
}

// The entry of dir whose name equals name ignoring case (the smallest such name, for a stable
// answer), or empty.
std::string FindCaseInsensitive(const std::string& dir, const std::string& name) {
  DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
  if (!d) return {};
  std::u16string want = Upper(Utf8ToUtf16(name));
  std::string best;
  while (dirent* e = readdir(d)) {
    if (Upper(Utf8ToUtf16(e->d_name)) == want && (best.empty() || strcmp(e->d_name, best.c_str()) < 0))
      best = e->d_name;
  }
  closedir(d);
  return best;
}

}  // namespace

NTSTATUS PlatformMapPath(const WCHAR* path, bool caseInsensitive, std::string* posix) {
  if (!path) return STATUS_OBJECT_NAME_INVALID;
  std::u16string p(path);
  // Strip the NT prefix or the Win32 long-path prefix; either must be followed by a drive.
  bool prefixed = p.rfind(u"\\??\\", 0) == 0 || p.rfind(u"\\\\?\\", 0) == 0;
  if (prefixed) p.erase(0, 4);
  std::string root;
  std::u16string rest;
  if (p.size() >= 2 && p[1] == u':') {
    if (!DriveRoot(p[0], &root)) return STATUS_OBJECT_PATH_NOT_FOUND;
    rest = p.substr(2);
  } else if (prefixed) {
    return STATUS_OBJECT_NAME_INVALID;  // UNC and device names are not supported
  } else if (!p.empty() && (p[0] == u'\\' || p[0] == u'/')) {
    DriveRoot(u'Z', &root);  // rooted without a drive: the current drive, Z:
    rest = p;
  } else {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return STATUS_OBJECT_PATH_NOT_FOUND;
    root = cwd;
    rest = p;
  }
  // Split into components, folding "." and ".." lexically (".." never climbs above the root).
  std::vector<std::string> parts;
  std::u16string cur;
  auto flush = [&]() {
    if (cur.empty() || cur == u".") {
    } else if (cur == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(Utf16ToUtf8(cur));
    }
    cur.clear();
  };
  for (char16_t c : rest) {
    if (c == u'\\' || c == u'/') flush();
    else if (c == 0) return STATUS_OBJECT_NAME_INVALID;
    else cur.push_back(c);
  }
  flush();
  std::string out = root == "/" ? "" : root;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string next = out + "/" + parts[i];
    if (caseInsensitive && !Exists(next)) {
      std::string found = FindCaseInsensitive(out.empty() ? "/" : out, parts[i]);
      if (!found.empty()) next = out + "/" + found;
    }
    out = next;
  }
  if (out.empty()) out = "/";
  *posix = out;
  return STATUS_SUCCESS;
}

std::u16string PlatformPosixToWindows(const std::string& posixIn) {
  std::string posix = posixIn;
  if (posix.empty() || posix[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd)) posix = std::string(cwd) + (posix.empty() ? "" : "/" + posix);
  }
  // Prefer a drive whose root holds the path (the longest root wins); Z: is "/" by default.
  char best = 0;
  size_t bestLen = 0;
  for (char16_t l = u'A'; l <= u'Z'; ++l) {
    std::string root;
    if (!DriveRoot(l, &root)) continue;
    size_t len = root == "/" ? 0 : root.size();
    bool under = root == "/" || posix == root || posix.rfind(root + "/", 0) == 0;
    if (under && (!best || len > bestLen)) { best = static_cast<char>(l); bestLen = len; }
  }
  if (!best) { best = 'Z'; bestLen = 0; }
  std::string rest = posix.substr(bestLen);
  std::u16string out;
  out.push_back(static_cast<char16_t>(best));
  out += u":";
  std::u16string r = Utf8ToUtf16(rest);
  for (auto& c : r)
    if (c == u'/') c = u'\\';
  if (r.empty()) r = u"\\";
  return out + r;
}
