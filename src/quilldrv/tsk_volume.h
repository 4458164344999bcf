// A read-only volume served through The Sleuth Kit (FAT12/16/32, exFAT, ext2/3/4, ISO 9660,
// HFS+). The library reads the partition through an external image over the BlockDevice, so
// it sees nothing outside it; one lock serialises every call for this volume.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <tsk/libtsk.h>
#include "platform/status.h"
#include "platform/volume_provider.h"
#include "quilldrv/fs_probe.h"
#include "quilldrv/image_source.h"
#include "quilldrv/volume_path.h"

class TskVolume final : public VolumeProvider, public std::enable_shared_from_this<TskVolume> {
 public:
  // Opens the filesystem the probe found. Win32 status (1005 when the library refuses it).
  static uint32_t Mount(std::unique_ptr<ImageSource> source, FsKind kind, std::shared_ptr<TskVolume>* out);
  ~TskVolume() override;

  bool IsReadOnly() override { return true; }
  uint32_t Open(const std::u16string& path, uint32_t flags, uint32_t disposition, uint32_t attributes,
                std::unique_ptr<VolumeFile>* file, bool* created) override;
  uint32_t GetInfo(const std::u16string& path, VolumeFileInfo* info) override;
  uint32_t ListDirectory(const std::u16string& path,
                         const std::function<bool(const VolumeDirEntry&)>& each) override;
  uint32_t DeleteFile(const std::u16string&) override { return ERROR_WRITE_PROTECT; }
  uint32_t RemoveDirectory(const std::u16string&) override { return ERROR_WRITE_PROTECT; }
  uint32_t Rename(const std::u16string&, const std::u16string&, bool) override { return ERROR_WRITE_PROTECT; }
  uint32_t SetAttributes(const std::u16string&, uint32_t) override { return ERROR_WRITE_PROTECT; }
  uint32_t Flush() override { return ERROR_SUCCESS; }
  // The filesystem's name as Windows gives it; FAT volumes also report their serial number.
  uint32_t GetVolumeInformation(std::u16string* label, std::u16string* fileSystem, uint32_t* serial) override;

 private:
  friend class TskFile;
  TskVolume() = default;
  // The metadata address a path leads to (and whether it is a directory).
  uint32_t Resolve(const VolumePath& path, TSK_INUM_T* inum, bool* isDirectory);
  // Opens a directory for listing; 1392 for one no volume could hold.
  uint32_t OpenDirectory(TSK_INUM_T inum, TSK_FS_DIR** out);
  void Fill(const TSK_FS_META* meta, bool isDirectory, VolumeFileInfo* info);
  uint32_t LibraryError();

  std::mutex m_Lock;
  std::unique_ptr<ImageSource> m_Source;
  TSK_IMG_INFO* m_Image = nullptr;
  TSK_FS_INFO* m_Fs = nullptr;
  bool m_DeviceFailed = false;
  uint32_t m_Serial = 0;
};
