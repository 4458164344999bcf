// A volume provider over a host folder, for the platform's routing tests.
#include "folder_volume.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/loader.h"
#include "platform/wstr.h"

namespace {

uint32_t Err(int e) { return RtlNtStatusToDosError(PlatformErrnoToNtStatus(e)); }
uint32_t Check(int r) { return r ? Err(errno) : 0; }
uint32_t Done(ssize_t n, uint32_t* done) {
  *done = n > 0 ? static_cast<uint32_t>(n) : 0;
  return Check(n < 0);
}

VolumeFileInfo InfoOf(const struct stat& st) {
  VolumeFileInfo i;
  i.attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & 0222)) i.attributes |= FILE_ATTRIBUTE_READONLY;
  i.size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  i.lastWriteTime = (static_cast<uint64_t>(st.st_mtime) + 11644473600ull) * 10000000ull;
  i.fileIndex = st.st_ino;
  return i;
}

// Missing: the folder on the way, or only the last name?
uint32_t Missing(const std::string& p) {
  struct stat st;
  return stat(p.substr(0, p.rfind('/')).c_str(), &st) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
}

class FolderFile : public VolumeFile {
 public:
  FolderFile(int fd, FolderVolume* volume) : m_Fd(fd), m_Volume(volume) {}
  ~FolderFile() override { Close(); }
  uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override {
    return Done(pread(m_Fd, buffer, length, static_cast<off_t>(offset)), done);
  }
  uint32_t Write(uint64_t offset, const void* buffer, uint32_t length, uint32_t* done) override {
    return Done(pwrite(m_Fd, buffer, length, static_cast<off_t>(offset)), done);
  }
  uint32_t SetSize(uint64_t size) override { return Check(ftruncate(m_Fd, static_cast<off_t>(size))); }
  uint32_t Flush() override { return m_Volume->Flush(); }
  uint32_t GetInfo(VolumeFileInfo* info) override {
    struct stat st;
    return fstat(m_Fd, &st) ? Err(errno) : (*info = InfoOf(st), 0);
  }
  uint32_t Close() override {
    if (m_Fd >= 0) close(m_Fd);
    m_Fd = -1;
    return 0;
  }

 private:
  int m_Fd;
  FolderVolume* m_Volume;
};

}  // namespace

std::string FolderVolume::HostPath(const std::u16string& path) const {
  std::string out = m_Dir;
  for (size_t pos = 1, end; pos < path.size(); pos = end + 1) {
    end = std::min(path.find(u'\\', pos), path.size());
    std::u16string want = path.substr(pos, end - pos);
    std::string name = Utf16ToUtf8(want);
    if (DIR* d = opendir(out.c_str())) {
      while (dirent* e = readdir(d))
        if (WStrICmpAZ(Utf8ToUtf16(e->d_name).c_str(), want.c_str()) == 0) name = e->d_name;
      closedir(d);
    }
    out += "/" + name;
  }
  return out;
}

uint32_t FolderVolume::Open(const std::u16string& path, uint32_t flags, uint32_t disposition, uint32_t attributes,
                            std::unique_ptr<VolumeFile>* file, bool* created) {
  std::string p = HostPath(path);
  struct stat st;
  bool exists = stat(p.c_str(), &st) == 0;
  *created = !exists;
  if (flags & VOLUME_OPEN_CREATE_DIR) {
    if (mkdir(p.c_str(), 0755)) return errno == EEXIST ? ERROR_ALREADY_EXISTS : Err(errno);
  } else if (exists && disposition == CREATE_NEW) {
    return ERROR_FILE_EXISTS;
  } else if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
    return Missing(p);
  }
  int mode = (flags & VOLUME_OPEN_WRITE) && !(exists && S_ISDIR(st.st_mode)) ? O_RDWR : O_RDONLY;
  if (!exists && !(flags & VOLUME_OPEN_CREATE_DIR)) mode |= O_CREAT | O_RDWR;
  if (exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) mode |= O_TRUNC;
  int fd = open(p.c_str(), mode | O_CLOEXEC, (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644);
  if (fd < 0) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : Err(errno);
  *file = std::make_unique<FolderFile>(fd, this);
  return 0;
}

uint32_t FolderVolume::GetInfo(const std::u16string& path, VolumeFileInfo* info) {
  struct stat st;
  std::string p = HostPath(path);
  return stat(p.c_str(), &st) ? Missing(p) : (*info = InfoOf(st), 0);
}

uint32_t FolderVolume::ListDirectory(const std::u16string& path,
                                     const std::function<bool(const VolumeDirEntry&)>& each) {
  std::string p = HostPath(path);
  DIR* d = opendir(p.c_str());
  if (!d) return errno == ENOTDIR ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
  while (dirent* e = readdir(d)) {
    struct stat st;
    std::string n = e->d_name;
    if (n == "." || n == ".." || stat((p + "/" + n).c_str(), &st)) continue;
    if (!each({Utf8ToUtf16(n), u"", InfoOf(st)})) break;
  }
  closedir(d);
  return 0;
}

uint32_t FolderVolume::DeleteFile(const std::u16string& path) { return Check(unlink(HostPath(path).c_str())); }
uint32_t FolderVolume::RemoveDirectory(const std::u16string& path) { return Check(rmdir(HostPath(path).c_str())); }

uint32_t FolderVolume::Rename(const std::u16string& from, const std::u16string& to, bool replace) {
  std::string t = HostPath(to);
  struct stat st;
  if (!replace && stat(t.c_str(), &st) == 0) return ERROR_ALREADY_EXISTS;
  return Check(rename(HostPath(from).c_str(), t.c_str()));
}

uint32_t FolderVolume::SetAttributes(const std::u16string& path, uint32_t attributes) {
  return Check(chmod(HostPath(path).c_str(), (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644));
}

uint32_t FolderVolume::Flush() { return m_FlushError.load(); }

RegisteredVolume::RegisteredVolume(int n, bool readOnly) {
  root = u"\\\\?\\GLOBALROOT\\Device\\TestVolume{" + Utf8ToUtf16(std::to_string(n)) + u"}";
  provider = std::make_shared<FolderVolume>(dir.path(), readOnly);
  EXPECT_EQ(PlatformRegisterVolume(root, provider), 0u);
}

uint32_t ErrorOf(BOOL ok) { return ok ? 0 : GetLastError(); }

uint32_t ErrorOfOpen(const std::u16string& path, uint32_t access, uint32_t share, uint32_t disposition,
                     uint32_t flags) {
  HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  return h == INVALID_HANDLE_VALUE ? GetLastError() : ErrorOf(CloseHandle(h));
}

std::string ReadText(const std::u16string& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<" + std::to_string(GetLastError()) + ">";
  char buf[64] = {};
  uint32_t n = 0;
  ReadFile(h, buf, sizeof buf - 1, &n, nullptr);
  CloseHandle(h);
  return buf;
}

std::set<std::u16string> Find(const std::u16string& pattern, uint32_t* error) {
  std::set<std::u16string> names;
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(pattern.c_str(), &d);
  *error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (h == INVALID_HANDLE_VALUE) return names;
  do names.insert(d.cFileName); while (FindNextFileW(h, &d));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(h));
  return names;
}
