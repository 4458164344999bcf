// FindFirstFileW / FindNextFileW / FindClose over host folders and volume directories.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <vector>

#include "platform/file_objects.h"
#include "platform/handles.h"
#include "platform/host_names.h"
#include "platform/loader.h"
#include "platform/path.h"
#include "platform/wildcard.h"
#include "platform/win_file.h"
#include "platform/win_path.h"

// The search record is binary interface with hosts written for Windows x64.
static_assert(sizeof(WIN32_FIND_DATAW) == 592);
static_assert(offsetof(WIN32_FIND_DATAW, cFileName) == 44);
static_assert(offsetof(WIN32_FIND_DATAW, cAlternateFileName) == 564);

namespace {

struct FindHandle {
  std::vector<VolumeDirEntry> entries;
  size_t next = 0;
};

bool Matches(const std::u16string& pattern, const VolumeDirEntry& e) {
  return WildcardMatch(pattern, e.name) || (!e.shortName.empty() && WildcardMatch(pattern, e.shortName));
}

void Fill(const VolumeDirEntry& e, WIN32_FIND_DATAW* d) {
  memset(d, 0, sizeof *d);
  d->dwFileAttributes = e.info.attributes ? e.info.attributes : FILE_ATTRIBUTE_NORMAL;
  d->ftCreationTime = {static_cast<uint32_t>(e.info.creationTime), static_cast<uint32_t>(e.info.creationTime >> 32)};
  d->ftLastAccessTime = {static_cast<uint32_t>(e.info.lastAccessTime),
                         static_cast<uint32_t>(e.info.lastAccessTime >> 32)};
  d->ftLastWriteTime = {static_cast<uint32_t>(e.info.lastWriteTime),
                        static_cast<uint32_t>(e.info.lastWriteTime >> 32)};
  d->nFileSizeHigh = static_cast<uint32_t>(e.info.size >> 32);
  d->nFileSizeLow = static_cast<uint32_t>(e.info.size);
  size_t n = std::min<size_t>(e.name.size(), MAX_PATH - 1);
  std::copy(e.name.begin(), e.name.begin() + static_cast<long>(n), d->cFileName);
  size_t s = std::min<size_t>(e.shortName.size(), 13);
  std::copy(e.shortName.begin(), e.shortName.begin() + static_cast<long>(s), d->cAlternateFileName);
}

std::u16string ParentInner(const std::u16string& inner) {
  size_t slash = inner.rfind(u'\\');
  return slash == 0 || slash == std::u16string::npos ? u"\\" : inner.substr(0, slash);
}

std::string ParentPosix(const std::string& posix) {
  size_t slash = posix.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : posix.substr(0, slash);
}

// "." and ".." (for folders other than a root) and the entries of the folder that match.
uint32_t ListVolume(const PlatformTarget& t, const std::u16string& pattern, std::vector<VolumeDirEntry>* out) {
  VolumeProvider* p = t.volume.provider.get();
  std::u16string dir = ParentInner(t.inner);
  VolumeFileInfo info;
  uint32_t err = p->GetInfo(dir, &info);
  if (err == ERROR_FILE_NOT_FOUND) err = ERROR_PATH_NOT_FOUND;
  if (!err && !(info.attributes & FILE_ATTRIBUTE_DIRECTORY)) err = ERROR_PATH_NOT_FOUND;
  if (err) return err;
  if (dir != u"\\") {
    VolumeDirEntry dot{u".", u"", info}, dotdot{u"..", u"", info};
    p->GetInfo(ParentInner(dir), &dotdot.info);
    if (Matches(pattern, dot)) out->push_back(dot);
    if (Matches(pattern, dotdot)) out->push_back(dotdot);
  }
  return p->ListDirectory(dir, [&](const VolumeDirEntry& e) {
    // A name no Windows filesystem can hold (a separator, a NUL, too long) is damage: never
    // handed out, so no caller can join it into a path that leaves the folder.
    if (e.name.empty() || e.name == u"." || e.name == u".." || e.name.size() >= MAX_PATH ||
        e.name.find_first_of(std::u16string(u"\\/\0", 3)) != std::u16string::npos)
      return true;
    if (Matches(pattern, e)) out->push_back(e);
    return true;
  });
}

uint32_t ListHost(const PlatformTarget& t, const std::u16string& pattern, std::vector<VolumeDirEntry>* out) {
  const std::string& dir = t.posixParent;
  DIR* d = opendir(dir.c_str());
  if (!d) return ERROR_PATH_NOT_FOUND;
  std::string root;
  PlatformDriveRoot(t.drive, &root, false);
  std::string prefix = dir == "/" ? "" : dir;
  std::vector<VolumeDirEntry> found;
  while (dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    VolumeDirEntry entry;
    entry.name = HostNameToWindows(e->d_name);
    if (!Matches(pattern, entry)) continue;
    if (PlatformHostPathInfo(prefix + "/" + e->d_name, &entry.info) != 0) continue;  // gone meanwhile
    found.push_back(std::move(entry));
  }
  closedir(d);
  std::sort(found.begin(), found.end(), [](const VolumeDirEntry& a, const VolumeDirEntry& b) {
    std::u16string fa = FoldName(a.name), fb = FoldName(b.name);
    return fa != fb ? fa < fb : a.name < b.name;
  });
  if (dir != root) {
    VolumeDirEntry dot{u".", u"", {}}, dotdot{u"..", u"", {}};
    PlatformHostPathInfo(dir, &dot.info);
    PlatformHostPathInfo(ParentPosix(dir), &dotdot.info);
    dot.info.attributes &= ~FILE_ATTRIBUTE_HIDDEN;
    dotdot.info.attributes &= ~FILE_ATTRIBUTE_HIDDEN;
    if (Matches(pattern, dot)) out->push_back(dot);
    if (Matches(pattern, dotdot)) out->push_back(dotdot);
  }
  for (auto& e : found) out->push_back(std::move(e));
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

HANDLE FindFirstFileW(const WCHAR* pattern, WIN32_FIND_DATAW* data) {
  uint32_t err = !data ? ERROR_INVALID_PARAMETER : !pattern ? ERROR_PATH_NOT_FOUND : ERROR_SUCCESS;
  PlatformTarget t;
  if (!err) err = PlatformResolvePath(pattern, RESOLVE_WILDCARD_LAST, &t);
  // A root, or a name written with a separator after it, is nothing to search for.
  if (!err && (t.isRoot || t.trailingSeparator)) err = ERROR_FILE_NOT_FOUND;
  auto* h = err ? nullptr : new (std::nothrow) FindHandle;
  if (!err && !h) err = ERROR_NOT_ENOUGH_MEMORY;
  if (!err) err = t.onVolume ? ListVolume(t, t.name, &h->entries) : ListHost(t, t.name, &h->entries);
  if (!err && h->entries.empty()) err = ERROR_FILE_NOT_FOUND;
  if (err) {
    delete h;
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  Fill(h->entries[h->next++], data);
  PlatformHandleAdd(h, PlatformHandleKind::kFind);
  return h;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  if (PlatformHandleKindOf(find) != PlatformHandleKind::kFind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  auto* h = static_cast<FindHandle*>(find);
  if (h->next >= h->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return 0;
  }
  if (!data) {
    SetLastError(ERROR_NOACCESS);
    return 0;
  }
  Fill(h->entries[h->next++], data);
  return 1;
}

BOOL FindClose(HANDLE find) {
  if (!PlatformHandleTake(find, PlatformHandleKind::kFind)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  delete static_cast<FindHandle*>(find);
  return 1;
}

}  // extern "C"
