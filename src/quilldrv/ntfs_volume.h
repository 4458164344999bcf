// An NTFS volume served through libntfs-3g, read-write. One lock serialises every call into the
// library for this volume; each open file keeps one shared inode (and one attribute per
// stream) so that handles to the same file never hold diverging copies of it.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include "platform/volume_provider.h"
#include "quilldrv/image_source.h"
#include "quilldrv/ntfs_device.h"
#include "quilldrv/volume_path.h"

class NtfsVolume final : public VolumeProvider, public std::enable_shared_from_this<NtfsVolume> {
 public:
  // Mounts the NTFS on source. A writable mount of a volume that is hibernated, marked dirty or
  // has an unclean journal is made read-only instead (with a trace line). Win32 status.
  static uint32_t Mount(std::unique_ptr<ImageSource> source, bool writable, std::shared_ptr<NtfsVolume>* out);
  ~NtfsVolume() override;

  bool IsReadOnly() override { return m_ReadOnly; }
  uint32_t Open(const std::u16string& path, uint32_t flags, uint32_t disposition, uint32_t attributes,
                std::unique_ptr<VolumeFile>* file, bool* created) override;
  uint32_t GetInfo(const std::u16string& path, VolumeFileInfo* info) override;
  uint32_t ListDirectory(const std::u16string& path,
                         const std::function<bool(const VolumeDirEntry&)>& each) override;
  uint32_t DeleteFile(const std::u16string& path) override;
  uint32_t RemoveDirectory(const std::u16string& path) override;
  uint32_t Rename(const std::u16string& from, const std::u16string& to, bool replace) override;
  uint32_t SetAttributes(const std::u16string& path, uint32_t attributes) override;
  uint32_t Flush() override;
  uint32_t GetVolumeInformation(std::u16string* label, std::u16string* fileSystem, uint32_t* serial) override;

 private:
  friend class NtfsFile;
  struct OpenStream {
    ntfs_attr* attr = nullptr;
    int refs = 0;
  };
  struct OpenInode {
    ntfs_inode* inode = nullptr;
    int refs = 0;
    std::map<std::u16string, OpenStream> streams;
  };
  // Where a path leads: its parent directory and the entry itself (0 when it does not exist).
  struct Resolved {
    uint64_t parent = 0;
    uint64_t target = 0;
    bool isDirectory = false;
    bool touchesSystem = false;  // the path passes through a metadata file
  };

  NtfsVolume() = default;
  uint32_t Resolve(const VolumePath& path, Resolved* out);
  // An inode for one call: the shared one of an open file, else a fresh one; Put closes a
  // fresh one. Failures give null with the Win32 status in *status.
  ntfs_inode* Get(uint64_t mref, uint32_t* status);
  uint32_t Put(ntfs_inode* inode);
  void Fill(ntfs_inode* inode, VolumeFileInfo* info);
  uint32_t LastError();
  uint32_t ReleaseStream(uint64_t mftNo, const std::u16string& stream);
  uint32_t Unlink(uint64_t parent, uint64_t target, const std::u16string& name, const std::u16string& path);

  std::mutex m_Lock;
  std::unique_ptr<ImageSource> m_Source;
  NtfsDeviceState m_DeviceState;
  ntfs_volume* m_Volume = nullptr;
  bool m_ReadOnly = true;
  uint32_t m_Serial = 0;  // low half of the boot sector's volume serial number
  std::map<uint64_t, OpenInode> m_Open;  // by MFT record number
};
