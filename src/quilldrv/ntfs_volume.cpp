#include "quilldrv/ntfs_volume.h"

#include <cerrno>
#include <vector>

#include "module/trace.h"
#include "platform/endian.h"
#include "platform/wstr.h"
#include "quilldrv/driver_errors.h"

extern "C" {
#include <ntfs-3g/unistr.h>
}

namespace {

// Attributes a caller may set (read-only, hidden, system, archive, temporary, offline, not
// indexed); the rest belong to the filesystem.
constexpr uint32_t kSettableAttributes = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000;

ntfschar* Units(const std::u16string& s) {
  return reinterpret_cast<ntfschar*>(const_cast<char16_t*>(s.data()));
}

bool IsDirectory(ntfs_inode* ni) { return (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0; }

struct ListedName {
  std::u16string name;
  uint64_t mref;
};

struct ListContext {
  std::vector<ListedName> names;
  std::map<uint64_t, std::u16string> shortNames;
  uint64_t self = 0;
};

int CollectEntry(void* dirent, const ntfschar* name, const int nameLength, const int nameType, const s64,
                 const MFT_REF mref, const unsigned) {
  auto* ctx = static_cast<ListContext*>(dirent);
  if (nameLength <= 0) return 0;
  std::u16string n(reinterpret_cast<const char16_t*>(name), static_cast<size_t>(nameLength));
  if (n == u"." || n == u"..") return 0;
  // Metadata files and an entry naming its own directory are not shown.
  if (MREF(mref) < FILE_first_user || MREF(mref) == ctx->self) return 0;
  if (nameType == FILE_NAME_DOS) {
    ctx->shortNames[MREF(mref)] = n;
    return 0;
  }
  ctx->names.push_back({std::move(n), mref});
  return 0;
}

// Finds a name in a directory ignoring case by the volume's upcase table: names written in the
// POSIX namespace (as libntfs-3g writes them) are found only by their exact case otherwise.
struct CaseScan {
  const std::u16string* want;
  ntfs_volume* volume;
  MFT_REF found = 0;
};

int MatchIgnoringCase(void* dirent, const ntfschar* name, const int nameLength, const int nameType, const s64,
                      const MFT_REF mref, const unsigned) {
  auto* scan = static_cast<CaseScan*>(dirent);
  if (nameType == FILE_NAME_DOS || static_cast<size_t>(nameLength) != scan->want->size()) return 0;
  if (ntfs_ucsncasecmp(name, reinterpret_cast<const ntfschar*>(scan->want->data()), scan->want->size(),
                       scan->volume->upcase, scan->volume->upcase_len) != 0)
    return 0;
  scan->found = mref;
  return 1;  // stops the walk
}

}  // namespace

// One open file, directory or named stream.
class NtfsFile final : public VolumeFile {
 public:
  NtfsFile(std::shared_ptr<NtfsVolume> volume, uint64_t mref, std::u16string stream, ntfs_attr* attr, bool writable)
      : m_Volume(std::move(volume)), m_Mref(mref), m_Stream(std::move(stream)), m_Attr(attr), m_Writable(writable) {}
  ~NtfsFile() override { Close(); }

  uint32_t Read(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) override {
    *done = 0;
    std::lock_guard<std::mutex> lock(m_Volume->m_Lock);
    if (m_Closed) return ERROR_INVALID_HANDLE;
    if (!m_Attr) return ERROR_INVALID_FUNCTION;
    if (offset >= static_cast<uint64_t>(m_Attr->data_size) || length == 0) return ERROR_SUCCESS;
    uint64_t n = std::min<uint64_t>(length, static_cast<uint64_t>(m_Attr->data_size) - offset);
    m_Volume->m_DeviceState.failed = false;
    s64 got = ntfs_attr_pread(m_Attr, static_cast<s64>(offset), static_cast<s64>(n), buffer);
    if (got < 0) return m_Volume->LastError();
    *done = static_cast<uint32_t>(got);
    return ERROR_SUCCESS;
  }

  uint32_t Write(uint64_t offset, const void* buffer, uint32_t length, uint32_t* done) override {
    *done = 0;
    std::lock_guard<std::mutex> lock(m_Volume->m_Lock);
    if (m_Closed) return ERROR_INVALID_HANDLE;
    if (!m_Attr) return ERROR_INVALID_FUNCTION;
    if (m_Volume->m_ReadOnly) return ERROR_WRITE_PROTECT;
    if (!m_Writable) return ERROR_ACCESS_DENIED;
    if (offset > static_cast<uint64_t>(INT64_MAX) - length) return ERROR_FILE_TOO_LARGE;
    if (length == 0) return ERROR_SUCCESS;
    m_Volume->m_DeviceState.failed = false;
    s64 put = ntfs_attr_pwrite(m_Attr, static_cast<s64>(offset), length, buffer);
    if (put < 0) return m_Volume->LastError();
    *done = static_cast<uint32_t>(put);
    ntfs_inode_update_times(m_Attr->ni, static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
    return put == static_cast<s64>(length) ? ERROR_SUCCESS : ERROR_DISK_FULL;
  }

  uint32_t SetSize(uint64_t size) override {
    std::lock_guard<std::mutex> lock(m_Volume->m_Lock);
    if (m_Closed) return ERROR_INVALID_HANDLE;
    if (!m_Attr) return ERROR_INVALID_FUNCTION;
    if (m_Volume->m_ReadOnly) return ERROR_WRITE_PROTECT;
    if (!m_Writable) return ERROR_ACCESS_DENIED;
    if (size > static_cast<uint64_t>(INT64_MAX)) return ERROR_FILE_TOO_LARGE;
    m_Volume->m_DeviceState.failed = false;
    if (ntfs_attr_truncate(m_Attr, static_cast<s64>(size)) != 0) return m_Volume->LastError();
    ntfs_inode_update_times(m_Attr->ni, static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
    return ERROR_SUCCESS;
  }

  uint32_t Flush() override {
    std::lock_guard<std::mutex> lock(m_Volume->m_Lock);
    if (m_Closed) return ERROR_INVALID_HANDLE;
    if (!m_Attr || !m_Writable) return ERROR_SUCCESS;
    m_Volume->m_DeviceState.failed = false;
    return ntfs_inode_sync(m_Attr->ni) == 0 ? ERROR_SUCCESS : m_Volume->LastError();
  }

  uint32_t GetInfo(VolumeFileInfo* info) override {
    std::lock_guard<std::mutex> lock(m_Volume->m_Lock);
    if (m_Closed) return ERROR_INVALID_HANDLE;
    if (m_Attr) {
      m_Volume->Fill(m_Attr->ni, info);
      info->size = static_cast<uint64_t>(m_Attr->data_size);
      return ERROR_SUCCESS;
    }
    uint32_t st = ERROR_SUCCESS;
    ntfs_inode* ni = m_Volume->Get(m_Mref, &st);
    if (!ni) return st;
    m_Volume->Fill(ni, info);
    return m_Volume->Put(ni);
  }

  uint32_t Close() override {
    if (m_Closed) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(m_Volume->m_Lock);
    m_Closed = true;
    if (!m_Attr) return ERROR_SUCCESS;
    m_Attr = nullptr;
    return m_Volume->ReleaseStream(MREF(m_Mref), m_Stream);
  }

 private:
  std::shared_ptr<NtfsVolume> m_Volume;
  uint64_t m_Mref;
  std::u16string m_Stream;
  ntfs_attr* m_Attr;  // null for a directory
  bool m_Writable;
  bool m_Closed = false;
};

uint32_t NtfsVolume::Mount(std::unique_ptr<ImageSource> source, bool writable, std::shared_ptr<NtfsVolume>* out) {
  RouteNtfsLogging();
  std::shared_ptr<NtfsVolume> v(new NtfsVolume());
  v->m_Source = std::move(source);
  v->m_DeviceState.device = &v->m_Source->Device();
  const bool canWrite = writable && !v->m_DeviceState.device->IsReadOnly();

  auto mountOnce = [&](bool rw, int* err) -> ntfs_volume* {
    v->m_DeviceState.writable = rw;
    v->m_DeviceState.failed = false;
    struct ntfs_device* dev = NewNtfsDevice(&v->m_DeviceState);
    if (!dev) {
      *err = ENOMEM;
      return nullptr;
    }
    ntfs_volume* vol = ntfs_device_mount(dev, rw ? NTFS_MNT_NONE : NTFS_MNT_RDONLY);
    *err = errno;
    if (!vol) ntfs_device_free(dev);
    return vol;
  };
  auto mountFailure = [&](int err) -> uint32_t {
    uint32_t st = v->m_DeviceState.failed ? ERROR_IO_DEVICE
                  : err == EINVAL      ? ERROR_UNRECOGNIZED_VOLUME
                  : err == ENOMEM      ? ERROR_NOT_ENOUGH_MEMORY
                                       : ERROR_FILE_CORRUPT;
    TraceNarrow("quilldrv: NTFS mount failed (errno %d, error %u)\n", err, st);
    return st;
  };

  int err = 0;
  ntfs_volume* vol = mountOnce(false, &err);
  if (!vol) return mountFailure(err);
  if (canWrite) {
    // Never touch a volume Windows left in use: hibernated, dirty or with an unclean journal.
    const bool dirty = (vol->flags & VOLUME_IS_DIRTY) != 0;
    const bool hibernated = ntfs_volume_check_hiberfile(vol, 0) != 0;
    if (dirty || hibernated) {
      TraceNarrow("quilldrv: NTFS volume is %s; mounted read-only\n", hibernated ? "hibernated" : "marked dirty");
    } else {
      ntfs_umount(vol, FALSE);
      vol = mountOnce(true, &err);
      if (!vol) {
        if (err != EPERM) return mountFailure(err);
        TraceNarrow("quilldrv: NTFS volume was not cleanly unmounted; mounted read-only\n");
        vol = mountOnce(false, &err);
        if (!vol) return mountFailure(err);
      }
    }
  }
  v->m_Volume = vol;
  uint8_t serial[4] = {};
  NTSTATUS st;
  if (v->m_DeviceState.device->ReadAt(0x48, serial, sizeof serial, &st)) v->m_Serial = LoadLE32(serial);
  v->m_ReadOnly = NVolReadOnly(vol) || !v->m_DeviceState.writable;
  *out = std::move(v);
  return ERROR_SUCCESS;
}

NtfsVolume::~NtfsVolume() {
  std::lock_guard<std::mutex> lock(m_Lock);
  for (auto& [no, oi] : m_Open) {
    for (auto& [name, os] : oi.streams) ntfs_attr_close(os.attr);
    ntfs_inode_close(oi.inode);
  }
  m_Open.clear();
  if (m_Volume && ntfs_umount(m_Volume, FALSE) != 0)
    TraceNarrow("quilldrv: NTFS unmount failed (errno %d)\n", errno);
  m_Volume = nullptr;
}

uint32_t NtfsVolume::LastError() {
  int err = errno;
  return ErrnoToWin32(err, m_DeviceState.failed);
}

ntfs_inode* NtfsVolume::Get(uint64_t mref, uint32_t* status) {
  auto it = m_Open.find(MREF(mref));
  if (it != m_Open.end()) return it->second.inode;
  m_DeviceState.failed = false;
  ntfs_inode* ni = ntfs_inode_open(m_Volume, mref);
  if (!ni) *status = LastError();
  return ni;
}

uint32_t NtfsVolume::Put(ntfs_inode* ni) {
  auto it = m_Open.find(ni->mft_no);
  if (it != m_Open.end() && it->second.inode == ni) return ERROR_SUCCESS;
  m_DeviceState.failed = false;
  return ntfs_inode_close(ni) == 0 ? ERROR_SUCCESS : LastError();
}

void NtfsVolume::Fill(ntfs_inode* ni, VolumeFileInfo* info) {
  const bool dir = IsDirectory(ni);
  uint32_t a = le32_to_cpu(ni->flags) & 0xFFFF;
  a = dir ? (a | 0x10) : (a & ~0x10u);
  info->attributes = a ? a : 0x80;
  info->size = dir ? 0 : static_cast<uint64_t>(ni->data_size);
  info->creationTime = sle64_to_cpu(ni->creation_time);
  info->lastWriteTime = sle64_to_cpu(ni->last_data_change_time);
  info->lastAccessTime = sle64_to_cpu(ni->last_access_time);
  info->fileIndex = MK_MREF(ni->mft_no, le16_to_cpu(ni->mrec->sequence_number));
  info->linkCount = std::max<uint32_t>(1, le16_to_cpu(ni->mrec->link_count));
}

uint32_t NtfsVolume::Resolve(const VolumePath& path, Resolved* out) {
  *out = Resolved();
  uint32_t st = ERROR_SUCCESS;
  ntfs_inode* ni = Get(FILE_root, &st);
  if (!ni) return st;
  uint64_t current = FILE_root;
  uint64_t parent = 0;
  for (size_t i = 0; i < path.components.size(); ++i) {
    const std::u16string& name = path.components[i];
    const bool last = i + 1 == path.components.size();
    if (!IsDirectory(ni)) {
      Put(ni);
      return ERROR_PATH_NOT_FOUND;
    }
    m_DeviceState.failed = false;
    u64 child = ntfs_inode_lookup_by_name(ni, Units(name), static_cast<int>(name.size()));
    int err = errno;
    if (child == static_cast<u64>(-1) && err == ENOENT) {
      CaseScan scan{&name, m_Volume};
      s64 pos = 0;
      ntfs_readdir(ni, &pos, &scan, MatchIgnoringCase);  // stops early at a match
      if (scan.found) child = scan.found;
      err = ENOENT;
    }
    bool failed = m_DeviceState.failed;
    Put(ni);
    if (child == static_cast<u64>(-1)) {
      if (err != ENOENT) return ErrnoToWin32(err, failed);
      if (!last) return ERROR_PATH_NOT_FOUND;
      out->parent = current;
      return ERROR_SUCCESS;
    }
    if (MREF(child) < FILE_first_user) out->touchesSystem = true;
    if (MREF(child) == MREF(current)) return ERROR_FILE_CORRUPT;  // an entry naming its own directory
    parent = current;
    current = child;
    ni = Get(current, &st);
    if (!ni) return st;
  }
  out->parent = parent;
  out->target = current;
  out->isDirectory = IsDirectory(ni);
  return Put(ni);
}

uint32_t NtfsVolume::ReleaseStream(uint64_t mftNo, const std::u16string& stream) {
  auto it = m_Open.find(mftNo);
  if (it == m_Open.end()) return ERROR_INVALID_HANDLE;
  OpenInode& oi = it->second;
  auto sit = oi.streams.find(stream);
  if (sit != oi.streams.end() && --sit->second.refs == 0) {
    ntfs_attr_close(sit->second.attr);
    oi.streams.erase(sit);
  }
  if (--oi.refs > 0) return ERROR_SUCCESS;
  ntfs_inode* ni = oi.inode;
  m_Open.erase(it);
  m_DeviceState.failed = false;
  if (ntfs_inode_close(ni) != 0) {
    uint32_t st = LastError();
    TraceNarrow("quilldrv: NTFS inode %llu could not be written back (error %u)\n",
                static_cast<unsigned long long>(mftNo), st);
    return st;
  }
  return ERROR_SUCCESS;
}

uint32_t NtfsVolume::Open(const std::u16string& path, uint32_t flags, uint32_t disposition, uint32_t attributes,
                          std::unique_ptr<VolumeFile>* file, bool* created) {
  *created = false;
  if (disposition < 1 || disposition > 5) return ERROR_INVALID_PARAMETER;
  VolumePath p;
  uint32_t st = ParseVolumePath(path, true, &p);
  if (st) return st;
  const bool makeDir = (flags & VOLUME_OPEN_CREATE_DIR) != 0;
  const bool wantWrite = (flags & VOLUME_OPEN_WRITE) != 0 || disposition == kCreateAlways ||
                         disposition == kTruncateExisting || makeDir;
  if (makeDir && !p.stream.empty()) return ERROR_INVALID_NAME;
  std::lock_guard<std::mutex> lock(m_Lock);
  Resolved r;
  if ((st = Resolve(p, &r))) return st;
  if (wantWrite && m_ReadOnly) return ERROR_WRITE_PROTECT;

  if (r.target == 0) {
    if (disposition == kOpenExisting || disposition == kTruncateExisting) return ERROR_FILE_NOT_FOUND;
    if (m_ReadOnly) return ERROR_WRITE_PROTECT;
    if (r.touchesSystem) return ERROR_ACCESS_DENIED;
    ntfs_inode* dir = Get(r.parent, &st);
    if (!dir) return st;
    const std::u16string& name = p.components.back();
    m_DeviceState.failed = false;
    ntfs_inode* ni = ntfs_create(dir, const_cpu_to_le32(0), Units(name), static_cast<u8>(name.size()),
                                 makeDir ? S_IFDIR : S_IFREG);
    if (!ni) {
      st = LastError();
      Put(dir);
      return st;
    }
    uint32_t a = attributes & kSettableAttributes;
    if (a) {
      le32 v = cpu_to_le32(a | le32_to_cpu(ni->flags));
      ntfs_set_ntfs_attrib(ni, reinterpret_cast<const char*>(&v), sizeof v, 0);
    }
    if (!p.stream.empty() &&
        ntfs_attr_add(ni, AT_DATA, Units(p.stream), static_cast<u8>(p.stream.size()), nullptr, 0) != 0)
      st = LastError();
    r.target = MK_MREF(ni->mft_no, le16_to_cpu(ni->mrec->sequence_number));
    r.isDirectory = makeDir;
    uint32_t closeSt = ntfs_inode_close_in_dir(ni, dir) == 0 ? ERROR_SUCCESS : LastError();
    uint32_t dirSt = Put(dir);
    if (st || (st = closeSt) || (st = dirSt)) return st;
    *created = true;
  } else {
    if (makeDir) return ERROR_ALREADY_EXISTS;
    if (disposition == kCreateNew) return ERROR_FILE_EXISTS;
    if (wantWrite && r.touchesSystem) return ERROR_ACCESS_DENIED;
  }

  if (r.isDirectory) {
    if (!p.stream.empty()) return ERROR_FILE_NOT_FOUND;
    if (!(flags & (VOLUME_OPEN_DIRECTORY | VOLUME_OPEN_CREATE_DIR))) return ERROR_ACCESS_DENIED;
    if (disposition == kCreateAlways || disposition == kTruncateExisting) return ERROR_ACCESS_DENIED;
    *file = std::make_unique<NtfsFile>(shared_from_this(), r.target, std::u16string(), nullptr, false);
    return ERROR_SUCCESS;
  }

  // A file: its shared inode and the stream's shared attribute.
  const uint64_t no = MREF(r.target);
  bool fresh = m_Open.find(no) == m_Open.end();
  if (fresh) {
    m_DeviceState.failed = false;
    ntfs_inode* ni = ntfs_inode_open(m_Volume, r.target);
    if (!ni) return LastError();
    m_Open[no].inode = ni;
  }
  OpenInode& oi = m_Open[no];
  auto dropIfUnused = [&] {
    if (oi.refs == 0) {
      ntfs_inode_close(oi.inode);
      m_Open.erase(no);
    }
  };
  if (wantWrite && !*created && (le32_to_cpu(oi.inode->flags) & FILE_ATTR_READONLY)) {
    dropIfUnused();
    return ERROR_ACCESS_DENIED;
  }
  auto sit = oi.streams.find(p.stream);
  if (sit == oi.streams.end()) {
    m_DeviceState.failed = false;
    ntfschar* name = p.stream.empty() ? AT_UNNAMED : Units(p.stream);
    ntfs_attr* na = ntfs_attr_open(oi.inode, AT_DATA, name, static_cast<u32>(p.stream.size()));
    if (!na && errno == ENOENT && !p.stream.empty() && disposition != kOpenExisting &&
        disposition != kTruncateExisting && !m_ReadOnly) {
      // A new named stream of an existing file.
      if (ntfs_attr_add(oi.inode, AT_DATA, name, static_cast<u8>(p.stream.size()), nullptr, 0) == 0) {
        *created = true;
        na = ntfs_attr_open(oi.inode, AT_DATA, name, static_cast<u32>(p.stream.size()));
      }
    }
    if (!na) {
      st = errno == ENOENT ? ERROR_FILE_NOT_FOUND : LastError();
      dropIfUnused();
      return st;
    }
    sit = oi.streams.emplace(p.stream, OpenStream{na, 0}).first;
  }
  ntfs_attr* na = sit->second.attr;
  if (!*created && (disposition == kCreateAlways || disposition == kTruncateExisting) && na->data_size != 0) {
    m_DeviceState.failed = false;
    if (ntfs_attr_truncate(na, 0) != 0) {
      st = LastError();
      if (sit->second.refs == 0) {
        ntfs_attr_close(na);
        oi.streams.erase(sit);
      }
      dropIfUnused();
      return st;
    }
    ntfs_inode_update_times(oi.inode, static_cast<ntfs_time_update_flags>(NTFS_UPDATE_MCTIME));
  }
  sit->second.refs++;
  oi.refs++;
  *file = std::make_unique<NtfsFile>(shared_from_this(), r.target, p.stream, na, wantWrite);
  return ERROR_SUCCESS;
}

uint32_t NtfsVolume::GetInfo(const std::u16string& path, VolumeFileInfo* info) {
  VolumePath p;
  uint32_t st = ParseVolumePath(path, true, &p);
  if (st) return st;
  std::lock_guard<std::mutex> lock(m_Lock);
  Resolved r;
  if ((st = Resolve(p, &r))) return st;
  if (r.target == 0) return ERROR_FILE_NOT_FOUND;
  ntfs_inode* ni = Get(r.target, &st);
  if (!ni) return st;
  Fill(ni, info);
  if (!p.stream.empty()) {
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, Units(p.stream), static_cast<u32>(p.stream.size()));
    if (!na) st = errno == ENOENT ? ERROR_FILE_NOT_FOUND : LastError();
    else {
      info->size = static_cast<uint64_t>(na->data_size);
      ntfs_attr_close(na);
    }
  }
  uint32_t put = Put(ni);
  return st ? st : put;
}

uint32_t NtfsVolume::ListDirectory(const std::u16string& path, const std::function<bool(const VolumeDirEntry&)>& each) {
  VolumePath p;
  uint32_t st = ParseVolumePath(path, false, &p);
  if (st) return st;
  std::vector<VolumeDirEntry> entries;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    Resolved r;
    if ((st = Resolve(p, &r))) return st;
    if (r.target == 0) return ERROR_PATH_NOT_FOUND;
    if (!r.isDirectory) return ERROR_DIRECTORY;
    ntfs_inode* dir = Get(r.target, &st);
    if (!dir) return st;
    ListContext ctx;
    ctx.self = MREF(r.target);
    s64 pos = 0;
    m_DeviceState.failed = false;
    int rc = ntfs_readdir(dir, &pos, &ctx, CollectEntry);
    st = rc == 0 ? ERROR_SUCCESS : LastError();
    uint32_t put = Put(dir);
    if (st || (st = put)) return st;
    entries.reserve(ctx.names.size());
    for (ListedName& n : ctx.names) {
      VolumeDirEntry e;
      e.name = std::move(n.name);
      auto sn = ctx.shortNames.find(MREF(n.mref));
      if (sn != ctx.shortNames.end()) e.shortName = sn->second;
      uint32_t ist = ERROR_SUCCESS;
      ntfs_inode* ni = Get(n.mref, &ist);
      if (ni) {
        Fill(ni, &e.info);
        Put(ni);
      } else {
        // A damaged record still shows its name; its details stay empty.
        TraceNarrow("quilldrv: NTFS record %llu of a listing cannot be read (error %u)\n",
                    static_cast<unsigned long long>(MREF(n.mref)), ist);
        e.info.attributes = 0x80;
      }
      entries.push_back(std::move(e));
    }
  }
  for (const VolumeDirEntry& e : entries)
    if (!each(e)) break;
  return ERROR_SUCCESS;
}

uint32_t NtfsVolume::Unlink(uint64_t parent, uint64_t target, const std::u16string& name, const std::u16string& path) {
  m_DeviceState.failed = false;
  ntfs_inode* ni = ntfs_inode_open(m_Volume, target);
  if (!ni) return LastError();
  ntfs_inode* dir = ntfs_inode_open(m_Volume, parent);
  if (!dir) {
    uint32_t st = LastError();
    ntfs_inode_close(ni);
    return st;
  }
  std::string utf8 = Utf16ToUtf8(path);
  // Closes both inodes whatever the outcome.
  if (ntfs_delete(m_Volume, utf8.c_str(), ni, dir, Units(name), static_cast<u8>(name.size())) != 0) return LastError();
  return ERROR_SUCCESS;
}

uint32_t NtfsVolume::DeleteFile(const std::u16string& path) {
  VolumePath p;
  uint32_t st = ParseVolumePath(path, true, &p);
  if (st) return st;
  std::lock_guard<std::mutex> lock(m_Lock);
  Resolved r;
  if ((st = Resolve(p, &r))) return st;
  if (r.target == 0) return ERROR_FILE_NOT_FOUND;
  if (m_ReadOnly) return ERROR_WRITE_PROTECT;
  if (r.isDirectory || r.touchesSystem || p.components.empty()) return ERROR_ACCESS_DENIED;
  if (m_Open.count(MREF(r.target))) return ERROR_SHARING_VIOLATION;
  ntfs_inode* ni = Get(r.target, &st);
  if (!ni) return st;
  const bool readOnly = (le32_to_cpu(ni->flags) & FILE_ATTR_READONLY) != 0;
  if (readOnly) {
    Put(ni);
    return ERROR_ACCESS_DENIED;
  }
  if (!p.stream.empty()) {
    m_DeviceState.failed = false;
    st = ntfs_attr_remove(ni, AT_DATA, Units(p.stream), static_cast<u32>(p.stream.size())) == 0
             ? ERROR_SUCCESS
             : (errno == ENOENT ? ERROR_FILE_NOT_FOUND : LastError());
    uint32_t put = Put(ni);
    return st ? st : put;
  }
  if ((st = Put(ni))) return st;
  return Unlink(r.parent, r.target, p.components.back(), path);
}

uint32_t NtfsVolume::RemoveDirectory(const std::u16string& path) {
  VolumePath p;
  uint32_t st = ParseVolumePath(path, false, &p);
  if (st) return st;
  std::lock_guard<std::mutex> lock(m_Lock);
  Resolved r;
  if ((st = Resolve(p, &r))) return st;
  if (r.target == 0) return ERROR_FILE_NOT_FOUND;
  if (!r.isDirectory) return ERROR_DIRECTORY;
  if (m_ReadOnly) return ERROR_WRITE_PROTECT;
  if (p.components.empty() || r.touchesSystem) return ERROR_ACCESS_DENIED;
  return Unlink(r.parent, r.target, p.components.back(), path);
}

uint32_t NtfsVolume::Rename(const std::u16string& from, const std::u16string& to, bool replace) {
  VolumePath pf, pt;
  uint32_t st = ParseVolumePath(from, false, &pf);
  if (st || (st = ParseVolumePath(to, false, &pt))) return st;
  std::lock_guard<std::mutex> lock(m_Lock);
  Resolved rf, rt;
  if ((st = Resolve(pf, &rf))) return st;
  if (rf.target == 0) return ERROR_FILE_NOT_FOUND;
  if ((st = Resolve(pt, &rt))) return st;
  if (m_ReadOnly) return ERROR_WRITE_PROTECT;
  if (pf.components.empty() || pt.components.empty() || rf.touchesSystem || rt.touchesSystem)
    return ERROR_ACCESS_DENIED;
  if (m_Open.count(MREF(rf.target))) return ERROR_SHARING_VIOLATION;
  if (rf.isDirectory && pt.components.size() > pf.components.size()) {
    bool inside = true;  // a directory cannot move below itself
    for (size_t i = 0; i < pf.components.size() && inside; ++i)
      inside = SameNameIgnoringCase(pf.components[i], pt.components[i]);
    if (inside) return ERROR_SHARING_VIOLATION;
  }
  const std::u16string& oldName = pf.components.back();
  const std::u16string& newName = pt.components.back();
  auto link = [&](uint64_t dirRef, const std::u16string& name) -> uint32_t {
    m_DeviceState.failed = false;
    ntfs_inode* ni = ntfs_inode_open(m_Volume, rf.target);
    if (!ni) return LastError();
    ntfs_inode* dir = ntfs_inode_open(m_Volume, dirRef);
    uint32_t s = ERROR_SUCCESS;
    if (!dir) s = LastError();
    else if (ntfs_link(ni, dir, Units(name), static_cast<u8>(name.size())) != 0) s = LastError();
    if (dir && ntfs_inode_close(dir) != 0 && !s) s = LastError();
    if (ntfs_inode_close(ni) != 0 && !s) s = LastError();
    return s;
  };

  if (rt.target != 0 && MREF(rt.target) == MREF(rf.target)) {
    if (oldName == newName) return ERROR_SUCCESS;
    // Only the case of the name changes: the index would see the new name as taken, so the
    // file passes through a temporary name.
    std::u16string temp = u"~quilldrv-rename-" + Utf8ToUtf16(std::to_string(MREF(rf.target)));
    if ((st = link(rf.parent, temp))) return st;
    if ((st = Unlink(rf.parent, rf.target, oldName, from))) return st;
    if ((st = link(rt.parent, newName))) return st;
    return Unlink(rf.parent, rf.target, temp, from);
  }
  if (rt.target != 0) {
    if (!replace) return ERROR_ALREADY_EXISTS;
    if (rt.isDirectory) return ERROR_ACCESS_DENIED;
    if (m_Open.count(MREF(rt.target))) return ERROR_SHARING_VIOLATION;
    if ((st = Unlink(rt.parent, rt.target, newName, to))) return st;
  }
  if ((st = link(rt.parent, newName))) return st;
  return Unlink(rf.parent, rf.target, oldName, from);
}

uint32_t NtfsVolume::SetAttributes(const std::u16string& path, uint32_t attributes) {
  VolumePath p;
  uint32_t st = ParseVolumePath(path, false, &p);
  if (st) return st;
  std::lock_guard<std::mutex> lock(m_Lock);
  Resolved r;
  if ((st = Resolve(p, &r))) return st;
  if (r.target == 0) return ERROR_FILE_NOT_FOUND;
  if (m_ReadOnly) return ERROR_WRITE_PROTECT;
  if (r.touchesSystem) return ERROR_ACCESS_DENIED;
  ntfs_inode* ni = Get(r.target, &st);
  if (!ni) return st;
  uint32_t keep = le32_to_cpu(ni->flags) & ~kSettableAttributes;
  le32 v = cpu_to_le32(keep | (attributes & kSettableAttributes));
  m_DeviceState.failed = false;
  if (ntfs_set_ntfs_attrib(ni, reinterpret_cast<const char*>(&v), sizeof v, 0) != 0) st = LastError();
  uint32_t put = Put(ni);
  return st ? st : put;
}

uint32_t NtfsVolume::Flush() {
  std::lock_guard<std::mutex> lock(m_Lock);
  uint32_t result = ERROR_SUCCESS;
  for (auto& [no, oi] : m_Open) {
    m_DeviceState.failed = false;
    if (ntfs_inode_sync(oi.inode) != 0 && !result) result = LastError();
  }
  // The volume's own records ($MFT, its mirror, the cluster bitmap) that writes left changed.
  if (!m_ReadOnly) {
    for (ntfs_inode* ni : {m_Volume->mft_ni, m_Volume->mftmirr_ni, m_Volume->lcnbmp_ni}) {
      m_DeviceState.failed = false;
      if (ni && NInoDirty(ni) && ntfs_inode_sync(ni) != 0 && !result) result = LastError();
    }
  }
  return result;
}

uint32_t NtfsVolume::GetVolumeInformation(std::u16string* label, std::u16string* fileSystem, uint32_t* serial) {
  std::lock_guard<std::mutex> lock(m_Lock);
  if (label) *label = m_Volume->vol_name ? Utf8ToUtf16(m_Volume->vol_name) : std::u16string();
  if (fileSystem) *fileSystem = u"NTFS";
  if (serial) *serial = m_Serial;
  return ERROR_SUCCESS;
}
