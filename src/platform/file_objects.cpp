// Opening, transferring and closing host files and files inside volumes with Win32 semantics.
#include "platform/file_objects.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_handle.h"
#include "platform/handles.h"
#include "platform/status.h"

namespace {

uint32_t ErrnoToWin32(int e) { return RtlNtStatusToDosError(PlatformErrnoToNtStatus(e)); }

VolumeFileInfo PlatformHostInfo(const struct stat& st, const std::string& name, uint64_t birthTime);

uint64_t BirthTime(const std::string& path) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
    return PlatformFileTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
  return 0;
}

std::u16string HostFileKey(const struct stat& st) {
  std::string k = "\\host\\" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  return std::u16string(k.begin(), k.end());
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint32_t HostOpen(const PlatformTarget& t, uint32_t bits, uint32_t share, uint32_t disposition, uint32_t flags,
                  HANDLE* out, bool* existed) {
  bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  bool truncating = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  for (int attempt = 0; attempt < 4; ++attempt) {
    struct stat st;
    int fd = -1;
    bool created = false;
    bool isDir = false;
    if (stat(t.posix.c_str(), &st) == 0) {
      if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
      if (S_ISDIR(st.st_mode)) {
        if (!backup || truncating) return ERROR_ACCESS_DENIED;
        fd = open(t.posix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        isDir = true;
      } else {
        if (t.trailingSeparator) return ERROR_INVALID_NAME;
        // Pipes, sockets and character devices would block or lie about their size.
        if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return ERROR_ACCESS_DENIED;
        bool readOnly = !(st.st_mode & 0222);
        if (readOnly && ((bits & SHARE_ACCESS_WRITE) || truncating || (flags & FILE_FLAG_DELETE_ON_CLOSE)))
          return ERROR_ACCESS_DENIED;
        bool rw = (bits & SHARE_ACCESS_WRITE) || truncating;
        fd = open(t.posix.c_str(), (rw ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
      }
      if (fd < 0) {
        if (errno == ENOENT) continue;  // removed under us: look again
        return ErrnoToWin32(errno);
      }
    } else {
      if (errno != ENOENT) return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno);
      if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) return PlatformMissingError(t);
      if (t.trailingSeparator) return ERROR_INVALID_NAME;
      mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
      fd = open(t.posix.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, mode);
      if (fd < 0) {
        if (errno == EEXIST) continue;  // made under us: look again
        return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno);
      }
      created = true;
    }
    if (!isDir) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (PlatformApplyShareMode(fd, bits, share) != STATUS_SUCCESS) {
      if (created) unlink(t.posix.c_str());
      close(fd);
      return ERROR_SHARING_VIOLATION;
    }
    // Count the opener, so a delete on close waits for the last handle (and a file that is
    // about to go opens no more).
    struct stat opened;
    std::u16string key;
    uint64_t token = 0;
    uint32_t err = fstat(fd, &opened) == 0 ? ERROR_SUCCESS : ErrnoToWin32(errno);
    if (!err) {
      key = HostFileKey(opened);
      err = VolumeShareAcquire(key, bits, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &token);
    }
    if (!err && !created && truncating && !isDir && ftruncate(fd, 0) != 0) err = ErrnoToWin32(errno);
    auto* f = err ? nullptr : new (std::nothrow) PlatformFile;
    if (!f) {
      VolumeShareRelease(key, token, false);
      if (created) unlink(t.posix.c_str());
      close(fd);
      return err ? err : ERROR_NOT_ENOUGH_MEMORY;
    }
    f->openKey = std::move(key);
    f->openToken = token;
    f->fd = fd;
    f->canRead = (bits & SHARE_ACCESS_READ) != 0;
    f->canWrite = (bits & SHARE_ACCESS_WRITE) != 0;
    f->isDirectory = isDir;
    f->deleteOnClose = (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    f->dirty = created || truncating;
    f->path = t.posix;
    *out = PlatformFileToHandle(f);
    *existed = !created;
    return ERROR_SUCCESS;
  }
  return ERROR_SHARING_VIOLATION;  // the name kept changing under us
}

uint32_t VolumeOpen(const PlatformTarget& t, uint32_t bits, uint32_t share, uint32_t disposition, uint32_t flags,
                    HANDLE* out, bool* existed) {
  VolumeProvider* p = t.volume.provider.get();
  bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  bool readOnly = p->IsReadOnly();
  bool creates = disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  if (readOnly && ((bits & (SHARE_ACCESS_WRITE | SHARE_ACCESS_DELETE)) || creates)) return ERROR_WRITE_PROTECT;
  std::u16string key = t.FileKey();
  uint64_t token = 0;
  uint32_t err = VolumeShareAcquire(key, bits, share, &token);
  if (err) return err;
  uint32_t vflags = (backup ? VOLUME_OPEN_DIRECTORY : 0) | ((bits & SHARE_ACCESS_READ) ? VOLUME_OPEN_READ : 0) |
                    ((bits & SHARE_ACCESS_WRITE) ? VOLUME_OPEN_WRITE : 0);
  uint32_t attributes = flags & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE);
  std::unique_ptr<VolumeFile> file;
  bool created = false;
  err = p->Open(t.inner, vflags, readOnly && disposition == OPEN_ALWAYS ? OPEN_EXISTING : disposition,
                attributes, &file, &created);
  if (readOnly && disposition == OPEN_ALWAYS && err == ERROR_FILE_NOT_FOUND) err = ERROR_WRITE_PROTECT;
  if (!err && !file) err = ERROR_INVALID_FUNCTION;
  VolumeFileInfo info;
  if (!err) err = file->GetInfo(&info);
  bool isDir = !err && (info.attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (!err && isDir && !backup) err = ERROR_ACCESS_DENIED;
  if (!err && !isDir && t.trailingSeparator) err = ERROR_INVALID_NAME;
  if (!err && !isDir && (info.attributes & FILE_ATTRIBUTE_READONLY) && !created &&
      ((bits & SHARE_ACCESS_WRITE) || (flags & FILE_FLAG_DELETE_ON_CLOSE)))
    err = ERROR_ACCESS_DENIED;
  auto* h = err ? nullptr : new (std::nothrow) VolumeHandle;
  if (!err && !h) err = ERROR_NOT_ENOUGH_MEMORY;
  if (err) {
    if (file) file->Close();
    VolumeShareRelease(key, token, false);
    return err;
  }
  h->provider = t.volume.provider;
  h->file = std::move(file);
  h->fileKey = std::move(key);
  h->inner = t.inner;
  h->shareToken = token;
  h->canRead = (bits & SHARE_ACCESS_READ) != 0;
  h->canWrite = (bits & SHARE_ACCESS_WRITE) != 0;
  h->isDirectory = isDir;
  h->deleteOnClose = (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  h->dirty = created || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  h->serial = PlatformVolumeSerial(t.volume.key);
  PlatformHandleAdd(h, PlatformHandleKind::kVolumeFile);
  *out = h;
  *existed = !created;
  return ERROR_SUCCESS;
}

}  // namespace

uint64_t PlatformFileTime(int64_t seconds, int64_t nanoseconds) {
  int64_t t = (seconds + 11644473600LL) * 10000000LL + nanoseconds / 100;
  return t < 0 ? 0 : static_cast<uint64_t>(t);
}

uint32_t PlatformVolumeSerial(const std::u16string& key) {
  uint32_t h = 2166136261u;
  for (char16_t c : key) h = (h ^ c) * 16777619u;
  return h;
}

namespace {
VolumeFileInfo PlatformHostInfo(const struct stat& st, const std::string& name, uint64_t birthTime) {
  VolumeFileInfo i;
  if (S_ISDIR(st.st_mode)) {
    i.attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else {
    i.attributes = FILE_ATTRIBUTE_ARCHIVE;
    i.size = static_cast<uint64_t>(st.st_size);
  }
  if (!(st.st_mode & 0222)) i.attributes |= FILE_ATTRIBUTE_READONLY;
  if (name.size() > 1 && name[0] == '.' && name != "..") i.attributes |= FILE_ATTRIBUTE_HIDDEN;
  i.lastWriteTime = PlatformFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  i.lastAccessTime = PlatformFileTime(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  i.creationTime = birthTime ? birthTime : i.lastWriteTime;
  i.fileIndex = st.st_ino;
  i.linkCount = static_cast<uint32_t>(st.st_nlink);
  return i;
}
}  // namespace

int PlatformHostPathInfo(const std::string& posix, VolumeFileInfo* info) {
  struct stat st;
  if (stat(posix.c_str(), &st) != 0 && lstat(posix.c_str(), &st) != 0) return errno;
  *info = PlatformHostInfo(st, BaseName(posix), BirthTime(posix));
  return 0;
}

uint32_t PlatformAccessBits(uint32_t access) {
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) return SHARE_ACCESS_READ | SHARE_ACCESS_WRITE | SHARE_ACCESS_DELETE;
  uint32_t bits = 0;
  if (access & (GENERIC_READ | GENERIC_EXECUTE | FILE_READ_DATA | FILE_EXECUTE)) bits |= SHARE_ACCESS_READ;
  if (access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) bits |= SHARE_ACCESS_WRITE;
  if (access & DELETE) bits |= SHARE_ACCESS_DELETE;
  return bits;
}

uint32_t PlatformOpenTarget(const PlatformTarget& t, uint32_t desiredAccess, uint32_t share, uint32_t disposition,
                            uint32_t flags, HANDLE* out, bool* existed) {
  *out = INVALID_HANDLE_VALUE;
  *existed = false;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return ERROR_INVALID_PARAMETER;
  if (flags & FILE_FLAG_DELETE_ON_CLOSE) desiredAccess |= DELETE;
  uint32_t bits = PlatformAccessBits(desiredAccess);
  if (disposition == TRUNCATE_EXISTING && !(bits & SHARE_ACCESS_WRITE)) return ERROR_INVALID_PARAMETER;
  if (share & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) return ERROR_INVALID_PARAMETER;
  return t.onVolume ? VolumeOpen(t, bits, share, disposition, flags, out, existed)
                    : HostOpen(t, bits, share, disposition, flags, out, existed);
}

uint32_t PlatformReadAt(HANDLE h, uint64_t offset, void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  if (PlatformFile* f = PlatformFileFromHandle(h)) {
    if (f->isDirectory) return ERROR_INVALID_FUNCTION;
    if (!f->canRead) return ERROR_ACCESS_DENIED;
    NTSTATUS st = ZwReadFile(h, buffer, length, offset, done);
    return st == STATUS_END_OF_FILE ? ERROR_SUCCESS : RtlNtStatusToDosError(st);
  }
  if (PlatformHandleKindOf(h) != PlatformHandleKind::kVolumeFile) return ERROR_INVALID_HANDLE;
  auto* v = static_cast<VolumeHandle*>(h);
  if (v->isDirectory) return ERROR_INVALID_FUNCTION;
  if (!v->canRead) return ERROR_ACCESS_DENIED;
  if (length && !buffer) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(v->lock);
  return v->file->Read(offset, buffer, length, done);
}

uint32_t PlatformWriteAt(HANDLE h, uint64_t offset, const void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  if (PlatformFile* f = PlatformFileFromHandle(h)) {
    if (f->isDirectory) return ERROR_INVALID_FUNCTION;
    if (!f->canWrite) return ERROR_ACCESS_DENIED;
    return RtlNtStatusToDosError(ZwWriteFile(h, buffer, length, offset, done));
  }
  if (PlatformHandleKindOf(h) != PlatformHandleKind::kVolumeFile) return ERROR_INVALID_HANDLE;
  auto* v = static_cast<VolumeHandle*>(h);
  if (v->isDirectory) return ERROR_INVALID_FUNCTION;
  if (!v->canWrite) return ERROR_ACCESS_DENIED;
  if (length && !buffer) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(v->lock);
  v->dirty = true;
  return v->file->Write(offset, buffer, length, done);
}

uint32_t PlatformHandleInfo(HANDLE h, VolumeFileInfo* info, uint32_t* serial) {
  if (PlatformFile* f = PlatformFileFromHandle(h)) {
    struct stat st;
    if (fstat(f->fd, &st) != 0) return ErrnoToWin32(errno);
    *info = PlatformHostInfo(st, BaseName(f->path), BirthTime(f->path));
    if (serial) *serial = static_cast<uint32_t>(st.st_dev);
    return ERROR_SUCCESS;
  }
  if (PlatformHandleKindOf(h) != PlatformHandleKind::kVolumeFile) return ERROR_INVALID_HANDLE;
  auto* v = static_cast<VolumeHandle*>(h);
  if (serial) *serial = v->serial;
  std::lock_guard<std::mutex> g(v->lock);
  return v->file->GetInfo(info);
}

uint32_t PlatformCloseFile(HANDLE h) {
  if (PlatformFile* f = PlatformFileFromHandle(h)) {
    bool remove = !f->openKey.empty() && VolumeShareRelease(f->openKey, f->openToken, f->deleteOnClose);
    std::string path = f->path;
    bool isDir = f->isDirectory;
    uint32_t err = RtlNtStatusToDosError(ZwClose(h));
    if (remove) (isDir ? rmdir : unlink)(path.c_str());
    return err;
  }
  if (!PlatformHandleTake(h, PlatformHandleKind::kVolumeFile)) return ERROR_INVALID_HANDLE;
  std::unique_ptr<VolumeHandle> v(static_cast<VolumeHandle*>(h));
  uint32_t err = v->dirty ? v->file->Flush() : 0;
  uint32_t closeErr = v->file->Close();
  if (!err) err = closeErr;
  v->file.reset();
  if (v->dirty) {
    uint32_t flushErr = v->provider->Flush();
    if (!err) err = flushErr;
  }
  if (VolumeShareRelease(v->fileKey, v->shareToken, v->deleteOnClose)) {
    uint32_t delErr = v->isDirectory ? v->provider->RemoveDirectory(v->inner) : v->provider->DeleteFile(v->inner);
    if (!err && delErr != ERROR_FILE_NOT_FOUND) err = delErr;
  }
  return err;
}

uint32_t PlatformTargetInfo(const PlatformTarget& t, VolumeFileInfo* info) {
  if (t.onVolume) {
    uint32_t err = t.volume.provider->GetInfo(t.inner, info);
    if (!err && t.trailingSeparator && !(info->attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_INVALID_NAME;
    return err;
  }
  struct stat st;
  if (stat(t.posix.c_str(), &st) != 0) {
    if (errno == ENOENT) return PlatformMissingError(t);
    return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno);
  }
  if (t.trailingSeparator && !S_ISDIR(st.st_mode)) return ERROR_INVALID_NAME;
  *info = PlatformHostInfo(st, BaseName(t.posix), BirthTime(t.posix));
  return ERROR_SUCCESS;
}
