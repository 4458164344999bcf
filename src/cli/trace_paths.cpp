#include "cli/trace_paths.h"

#include <cctype>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/path.h"
#include "platform/wstr.h"

namespace {

constexpr size_t kMaxCandidates = 16;

// An absolute POSIX path with ".", ".." and repeated slashes folded lexically, as the platform
// folds library paths.
std::string Lexical(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    char cwd[PATH_MAX];
    full = std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + full;
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= full.size()) {
    size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    const std::string part = full.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// `name` as the library upper-cased it, given back the spelling of the user's file name over
// the part they share ("DISK.V01" beside "disk.vhd" reads "disk.v01").
std::string Respelled(const std::string& name, const std::string& typedName) {
  for (char c : name)
    if (std::islower(static_cast<unsigned char>(c))) return name;
  std::string out = name;
  for (size_t i = 0; i < out.size() && i < typedName.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(typedName[i])) != out[i]) break;
    out[i] = typedName[i];
  }
  return out;
}

// Where a library path starts at `i`: "\??\X:\" or a drive "X:\" that does not continue a word.
size_t PathStart(const std::string& line, size_t i) {
  auto drive = [&](size_t at) {
    return at + 2 < line.size() && std::isalpha(static_cast<unsigned char>(line[at])) && line[at + 1] == ':' &&
           line[at + 2] == '\\';
  };
  if (line.compare(i, 4, "\\??\\") == 0 && drive(i + 4)) return 4;
  if (drive(i) && (i == 0 || !std::isalnum(static_cast<unsigned char>(line[i - 1])))) return 0;
  return std::string::npos;
}

bool EndsPath(char c) { return c == ' ' || c == ')' || c == '"' || c == '\'' || c == ','; }

std::string TrimDots(std::string path) {
  while (!path.empty() && path.back() == '.') path.pop_back();
  return path;
}

}  // namespace

bool LibraryPathExists(const std::u16string& libraryPath) {
  std::string posix;
  struct stat st;
  return PlatformMapPath(libraryPath.c_str(), true, &posix) >= 0 && stat(posix.c_str(), &st) == 0;
}

std::string ShownPath(const std::u16string& libraryPath, const std::string& typed) {
  std::string posix;
  if (PlatformMapPath(libraryPath.c_str(), true, &posix) < 0) return Utf16ToUtf8(libraryPath);
  if (typed.empty()) return posix;
  const std::string typedAbs = Lexical(typed);
  if (EqualsNoCase(posix, typedAbs)) return typed;
  const size_t slash = typed.rfind('/');
  const std::string typedDir = slash == std::string::npos ? "" : typed.substr(0, slash + 1);
  const std::string typedName = typed.substr(typedDir.size());
  std::string folder = typedAbs.substr(0, typedAbs.rfind('/') + 1);
  if (posix.size() <= folder.size() || !EqualsNoCase(posix.substr(0, folder.size()), folder)) return posix;
  const std::string rest = posix.substr(folder.size());
  return typedDir + (rest.find('/') == std::string::npos ? Respelled(rest, typedName) : rest);
}

namespace {

// The line with each library path replaced by shown(path).
template <typename Shown>
std::string ReplacePaths(const std::string& line, Shown shown) {
  std::string out;
  size_t i = 0;
  while (i < line.size()) {
    const size_t prefix = PathStart(line, i);
    if (prefix == std::string::npos) {
      out += line[i++];
      continue;
    }
    // The path runs to the next path or the end of the line; its last component ends at the
    // first delimiter unless a longer name exists on the host.
    size_t region = i + prefix + 3;
    while (region < line.size() && PathStart(line, region) == std::string::npos) ++region;
    const size_t lastSlash = line.rfind('\\', region - 1);
    size_t end = lastSlash + 1;
    while (end < region && !EndsPath(line[end])) ++end;
    // A few candidates at most: a hostile name may be long and full of blanks.
    for (size_t e = end + 1, tries = 0; e <= region && tries < kMaxCandidates; ++e) {
      if (e < region && !EndsPath(line[e])) continue;
      ++tries;
      if (LibraryPathExists(Utf8ToUtf16(TrimDots(line.substr(i, e - i))))) end = e;
    }
    const std::string path = TrimDots(line.substr(i, end - i));
    out += shown(Utf8ToUtf16(path));
    i += path.size();
  }
  return out;
}

}  // namespace

std::string HostPathsInLine(const std::string& line, const std::string& typed) {
  return ReplacePaths(line, [&](const std::u16string& path) { return ShownPath(path, typed); });
}

std::string WithoutPaths(const std::string& line) {
  return ReplacePaths(line, [](const std::u16string&) { return std::string("<path>"); });
}
