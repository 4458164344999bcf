#include "quilldrv/tsk_volume.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "module/trace.h"
#include "platform/endian.h"
#include "platform/wstr.h"
#include "quilldrv/driver_errors.h"

namespace {

// The external image The Sleuth Kit reads: its own header, then the device.
struct TskImage {
  TSK_IMG_INFO info;
  BlockDevice* device;
  bool* deviceFailed;
};

ssize_t ImageRead(TSK_IMG_INFO* img, TSK_OFF_T offset, char* buffer, size_t length) {
  auto* image = reinterpret_cast<TskImage*>(img);
  const uint64_t size = image->device->Size();
  if (offset < 0 || static_cast<uint64_t>(offset) >= size) return 0;
  uint64_t n = std::min<uint64_t>(length, size - static_cast<uint64_t>(offset));
  NTSTATUS st;
  if (!image->device->ReadAt(static_cast<uint64_t>(offset), buffer, n, &st)) {
    *image->deviceFailed = true;
    tsk_error_reset();
    tsk_error_set_errno(TSK_ERR_IMG_READ);
    tsk_error_set_errstr("volume read failed with status %08x", static_cast<unsigned>(st));
    return -1;
  }
  return static_cast<ssize_t>(n);
}

void ImageClose(TSK_IMG_INFO* img) { free(img); }
void ImageStat(TSK_IMG_INFO*, FILE*) {}

TSK_FS_TYPE_ENUM TypeFor(FsKind kind) {
  switch (kind) {
    case FsKind::Fat: return TSK_FS_TYPE_FAT_DETECT;
    case FsKind::ExFat: return TSK_FS_TYPE_EXFAT;
    case FsKind::Ext: return TSK_FS_TYPE_EXT_DETECT;
    case FsKind::Iso9660: return TSK_FS_TYPE_ISO9660_DETECT;
    case FsKind::HfsPlus: return TSK_FS_TYPE_HFS_DETECT;
    default: return TSK_FS_TYPE_UNSUPP;
  }
}

uint64_t FileTime(time_t seconds, uint32_t nanos) {
  if (seconds <= 0) return 0;
  return (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull + nanos / 100;
}

bool Listed(const TSK_FS_NAME* name) {
  if (!name || !name->name || !(name->flags & TSK_FS_NAME_FLAG_ALLOC)) return false;
  if (name->type == TSK_FS_NAME_TYPE_VIRT || name->type == TSK_FS_NAME_TYPE_VIRT_DIR) return false;
  return strcmp(name->name, ".") != 0 && strcmp(name->name, "..") != 0 && name->name[0] != 0;
}

}  // namespace

class TskFile final : public VolumeFile {
 public:
  TskFile(std::shared_ptr<TskVolume> volume, TSK_FS_FILE* file, bool isDirectory)
      : m_Volume(std::move(volume)), m_File(file), m_IsDirectory(isDirectory) {}
  ~TskFile() override { Close(); }

  uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override {
    *done = 0;
    std::lock_guard<std::mutex> lock(m_Volume->m_Lock);
    if (!m_File) return ERROR_INVALID_HANDLE;
    if (m_IsDirectory) return ERROR_INVALID_FUNCTION;
    const uint64_t size = m_File->meta ? static_cast<uint64_t>(m_File->meta->size) : 0;
    if (offset >= size || length == 0) return ERROR_SUCCESS;
    size_t n = static_cast<size_t>(std::min<uint64_t>(length, size - offset));
    m_Volume->m_DeviceFailed = false;
    tsk_error_reset();
    ssize_t got = tsk_fs_file_read(m_File, static_cast<TSK_OFF_T>(offset), static_cast<char*>(buffer), n,
                                   TSK_FS_FILE_READ_FLAG_NONE);
    if (got < 0) return m_Volume->LibraryError();
    *done = static_cast<uint32_t>(got);
    return ERROR_SUCCESS;
  }
  uint32_t Write(uint64_t, const void*, uint32_t, uint32_t* done) override {
    *done = 0;
    return ERROR_WRITE_PROTECT;
  }
  uint32_t SetSize(uint64_t) override { return ERROR_WRITE_PROTECT; }
  uint32_t Flush() override { return ERROR_SUCCESS; }
  uint32_t GetInfo(VolumeFileInfo* info) override {
    std::lock_guard<std::mutex> lock(m_Volume->m_Lock);
    if (!m_File) return ERROR_INVALID_HANDLE;
    m_Volume->Fill(m_File->meta, m_IsDirectory, info);
    return ERROR_SUCCESS;
  }
  uint32_t Close() override {
    if (!m_File) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(m_Volume->m_Lock);
    tsk_fs_file_close(m_File);
    m_File = nullptr;
    return ERROR_SUCCESS;
  }

 private:
  std::shared_ptr<TskVolume> m_Volume;
  TSK_FS_FILE* m_File;
  bool m_IsDirectory;
};

uint32_t TskVolume::Mount(std::unique_ptr<ImageSource> source, FsKind kind, std::shared_ptr<TskVolume>* out) {
  std::shared_ptr<TskVolume> v(new TskVolume());
  v->m_Source = std::move(source);
  auto* image = static_cast<TskImage*>(calloc(1, sizeof(TskImage)));
  if (!image) return ERROR_NOT_ENOUGH_MEMORY;
  image->device = &v->m_Source->Device();
  image->deviceFailed = &v->m_DeviceFailed;
  std::lock_guard<std::mutex> lock(v->m_Lock);
  tsk_error_reset();
  v->m_Image = tsk_img_open_external(image, static_cast<TSK_OFF_T>(image->device->Size()), 512, ImageRead,
                                     ImageClose, ImageStat);
  if (!v->m_Image) {
    free(image);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  v->m_Fs = tsk_fs_open_img(v->m_Image, 0, TypeFor(kind));
  if (!v->m_Fs) {
    const char* why = tsk_error_get();
    TraceNarrow("quilldrv: %s volume cannot be opened: %s\n", FsKindName(kind), why ? why : "");
    return v->m_DeviceFailed ? ERROR_IO_DEVICE : ERROR_UNRECOGNIZED_VOLUME;
  }
  uint8_t boot[0x48] = {};
  NTSTATUS st;
  if (TSK_FS_TYPE_ISFAT(v->m_Fs->ftype) && v->m_Fs->ftype != TSK_FS_TYPE_EXFAT &&
      v->m_Source->Device().ReadAt(0, boot, sizeof boot, &st))
    v->m_Serial = LoadLE32(boot + (v->m_Fs->ftype == TSK_FS_TYPE_FAT32 ? 0x43 : 0x27));
  *out = std::move(v);
  return ERROR_SUCCESS;
}

uint32_t TskVolume::GetVolumeInformation(std::u16string* label, std::u16string* fileSystem, uint32_t* serial) {
  std::lock_guard<std::mutex> lock(m_Lock);
  const char* name;
  switch (m_Fs->ftype) {
    case TSK_FS_TYPE_FAT12: name = "FAT12"; break;
    case TSK_FS_TYPE_FAT16: name = "FAT16"; break;
    case TSK_FS_TYPE_FAT32: name = "FAT32"; break;
    case TSK_FS_TYPE_EXFAT: name = "exFAT"; break;
    case TSK_FS_TYPE_EXT2: name = "ext2"; break;
    case TSK_FS_TYPE_EXT3: name = "ext3"; break;
    case TSK_FS_TYPE_EXT4: name = "ext4"; break;
    case TSK_FS_TYPE_ISO9660: name = "CDFS"; break;
    default: name = TSK_FS_TYPE_ISHFS(m_Fs->ftype) ? "HFS+" : "unknown"; break;
  }
  if (label) label->clear();
  if (fileSystem) *fileSystem = Utf8ToUtf16(name);
  if (serial) *serial = m_Serial;
  return ERROR_SUCCESS;
}

TskVolume::~TskVolume() {
  std::lock_guard<std::mutex> lock(m_Lock);
  if (m_Fs) tsk_fs_close(m_Fs);
  if (m_Image) tsk_img_close(m_Image);
}

uint32_t TskVolume::LibraryError() {
  if (m_DeviceFailed) return ERROR_IO_DEVICE;
  const char* why = tsk_error_get();
  TraceNarrow("quilldrv: volume data cannot be read: %s\n", why ? why : "");
  return ERROR_FILE_CORRUPT;
}

void TskVolume::Fill(const TSK_FS_META* meta, bool isDirectory, VolumeFileInfo* info) {
  *info = VolumeFileInfo();
  info->attributes = isDirectory ? 0x10 : 0x80;
  if (!meta) return;
  if (!isDirectory) info->size = static_cast<uint64_t>(std::max<TSK_OFF_T>(meta->size, 0));
  if (TSK_FS_TYPE_ISFAT(m_Fs->ftype) && !(meta->mode & TSK_FS_META_MODE_IWUSR))
    info->attributes = (info->attributes & ~0x80u) | 0x1;
  info->creationTime = FileTime(meta->crtime, meta->crtime_nano);
  info->lastWriteTime = FileTime(meta->mtime, meta->mtime_nano);
  info->lastAccessTime = FileTime(meta->atime, meta->atime_nano);
  info->fileIndex = meta->addr;
  info->linkCount = std::max<uint32_t>(1, static_cast<uint32_t>(meta->nlink));
}

uint32_t TskVolume::OpenDirectory(TSK_INUM_T inum, TSK_FS_DIR** out) {
  // The library builds a directory's block runs one block at a time: a directory that claims
  // to be larger than the volume would keep it busy for hours, and cannot be real.
  m_DeviceFailed = false;
  tsk_error_reset();
  TSK_FS_FILE* f = tsk_fs_file_open_meta(m_Fs, nullptr, inum);
  if (!f) return LibraryError();
  const bool tooLarge = f->meta && static_cast<uint64_t>(std::max<TSK_OFF_T>(f->meta->size, 0)) > m_Source->Device().Size();
  tsk_fs_file_close(f);
  if (tooLarge) {
    TraceNarrow("quilldrv: directory %llu is larger than its volume\n", static_cast<unsigned long long>(inum));
    return ERROR_FILE_CORRUPT;
  }
  *out = tsk_fs_dir_open_meta(m_Fs, inum);
  return *out ? ERROR_SUCCESS : LibraryError();
}

uint32_t TskVolume::Resolve(const VolumePath& path, TSK_INUM_T* inum, bool* isDirectory) {
  TSK_INUM_T current = m_Fs->root_inum;
  bool dir = true;
  for (size_t i = 0; i < path.components.size(); ++i) {
    if (!dir) return ERROR_PATH_NOT_FOUND;
    const std::string want = Utf16ToUtf8(path.components[i]);
    m_DeviceFailed = false;
    tsk_error_reset();
    TSK_FS_DIR* d = nullptr;
    if (uint32_t st = OpenDirectory(current, &d)) return st;
    bool found = false;
    for (size_t k = 0, n = tsk_fs_dir_getsize(d); k < n && !found; ++k) {
      const TSK_FS_NAME* name = tsk_fs_dir_get_name(d, k);
      if (!Listed(name) || m_Fs->name_cmp(m_Fs, name->name, want.c_str()) != 0) continue;
      if (name->meta_addr == current) continue;  // an entry naming its own directory
      found = true;
      current = name->meta_addr;
      dir = TSK_FS_IS_DIR_NAME(name->type);
    }
    tsk_fs_dir_close(d);
    if (!found) return i + 1 == path.components.size() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  *inum = current;
  *isDirectory = dir;
  return ERROR_SUCCESS;
}

uint32_t TskVolume::Open(const std::u16string& path, uint32_t flags, uint32_t disposition, uint32_t,
                         std::unique_ptr<VolumeFile>* file, bool* created) {
  *created = false;
  VolumePath p;
  uint32_t st = ParseVolumePath(path, false, &p);
  if (st) return st;
  std::lock_guard<std::mutex> lock(m_Lock);
  TSK_INUM_T inum = 0;
  bool dir = false;
  st = Resolve(p, &inum, &dir);
  if (st == ERROR_FILE_NOT_FOUND && disposition != kOpenExisting && disposition != kTruncateExisting)
    return ERROR_WRITE_PROTECT;
  if (st) return st;
  if ((flags & (VOLUME_OPEN_WRITE | VOLUME_OPEN_CREATE_DIR)) || disposition == kCreateAlways ||
      disposition == kTruncateExisting)
    return (flags & VOLUME_OPEN_CREATE_DIR) ? ERROR_ALREADY_EXISTS : ERROR_WRITE_PROTECT;
  if (disposition == kCreateNew) return ERROR_FILE_EXISTS;
  if (dir && !(flags & VOLUME_OPEN_DIRECTORY)) return ERROR_ACCESS_DENIED;
  m_DeviceFailed = false;
  tsk_error_reset();
  TSK_FS_FILE* f = tsk_fs_file_open_meta(m_Fs, nullptr, inum);
  if (!f) return LibraryError();
  // Likewise for files, with room for sparse files far larger than the volume.
  if (f->meta && static_cast<uint64_t>(std::max<TSK_OFF_T>(f->meta->size, 0)) / 64 > m_Source->Device().Size()) {
    tsk_fs_file_close(f);
    TraceNarrow("quilldrv: file %llu claims a size beyond any its volume can hold\n", static_cast<unsigned long long>(inum));
    return ERROR_FILE_CORRUPT;
  }
  *file = std::make_unique<TskFile>(shared_from_this(), f, dir);
  return ERROR_SUCCESS;
}

uint32_t TskVolume::GetInfo(const std::u16string& path, VolumeFileInfo* info) {
  VolumePath p;
  uint32_t st = ParseVolumePath(path, false, &p);
  if (st) return st;
  std::lock_guard<std::mutex> lock(m_Lock);
  TSK_INUM_T inum = 0;
  bool dir = false;
  if ((st = Resolve(p, &inum, &dir))) return st;
  m_DeviceFailed = false;
  tsk_error_reset();
  TSK_FS_FILE* f = tsk_fs_file_open_meta(m_Fs, nullptr, inum);
  if (!f) return LibraryError();
  Fill(f->meta, dir, info);
  tsk_fs_file_close(f);
  return ERROR_SUCCESS;
}

uint32_t TskVolume::ListDirectory(const std::u16string& path, const std::function<bool(const VolumeDirEntry&)>& each) {
  VolumePath p;
  uint32_t st = ParseVolumePath(path, false, &p);
  if (st) return st;
  std::vector<VolumeDirEntry> entries;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    TSK_INUM_T inum = 0;
    bool dir = false;
    if ((st = Resolve(p, &inum, &dir))) return st == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : st;
    if (!dir) return ERROR_DIRECTORY;
    m_DeviceFailed = false;
    tsk_error_reset();
    TSK_FS_DIR* d = nullptr;
    if ((st = OpenDirectory(inum, &d))) return st;
    for (size_t k = 0, n = tsk_fs_dir_getsize(d); k < n; ++k) {
      const TSK_FS_NAME* name = tsk_fs_dir_get_name(d, k);
      if (!Listed(name) || name->meta_addr == inum) continue;
      VolumeDirEntry e;
      e.name = Utf8ToUtf16(name->name);
      if (name->shrt_name && name->shrt_name[0]) e.shortName = Utf8ToUtf16(name->shrt_name);
      const bool isDir = TSK_FS_IS_DIR_NAME(name->type);
      TSK_FS_FILE* f = tsk_fs_dir_get(d, k);
      Fill(f ? f->meta : nullptr, isDir, &e.info);
      if (f) tsk_fs_file_close(f);
      entries.push_back(std::move(e));
    }
    tsk_fs_dir_close(d);
  }
  for (const VolumeDirEntry& e : entries)
    if (!each(e)) break;
  return ERROR_SUCCESS;
}
