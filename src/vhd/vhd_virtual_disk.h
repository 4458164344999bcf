// VHDVirtualDisk: fixed, dynamic and differencing VHD images, in one file or a set of files.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "disk/parent_chain.h"
#include "disk/virtual_disk.h"
#include "module/object.h"
#include "vhd/vhd_file_set.h"

class VHDVirtualDisk : public VirtualDisk {
 public:
  explicit VHDVirtualDisk(const WCHAR* fileName);

  NTSTATUS Open(uint8_t readOnly) override;
  NTSTATUS Read(uint64_t firstSector, uint32_t count, void* buffer) override;
  NTSTATUS Write(uint64_t firstSector, uint32_t count, const void* buffer) override;
  VMPEEK_DESTROY_SLOT(VHDVirtualDisk)
  NTSTATUS Flush() override;

  // Copies the footer's 16-byte unique id.
  void GetUniqueId(uint8_t uniqueId[16]) const;
  // The opened parent of a differencing disk (null otherwise) and the parent id its header records.
  VHDVirtualDisk* Parent() const { return m_Parent; }
  const uint8_t* ParentUniqueId() const;

 protected:
  ~VHDVirtualDisk();

 private:
  // Open without the conversion of memory exhaustion.
  NTSTATUS OpenImage(uint8_t readOnly);
  NTSTATUS ReadFooter();
  NTSTATUS OpenByDiskType();

  // Fixed disks: disk sector n is file-set sector n.
  NTSTATUS ReadFixed(uint64_t first, uint32_t count, void* buffer);
  NTSTATUS WriteFixed(uint64_t first, uint32_t count, const void* buffer);

  // Dynamic and differencing disks.
  NTSTATUS OpenDynamic();
  NTSTATUS CheckDynamicLayout();
  NTSTATUS ReadBat();
  NTSTATUS WriteBat();
  NTSTATUS WriteBatEntry(uint32_t block);
  NTSTATUS ReadDynamic(uint64_t first, uint32_t count, void* buffer);
  NTSTATUS WriteDynamic(uint64_t first, uint32_t count, const void* buffer);
  NTSTATUS ReadDifferencingRun(uint64_t s, uint32_t n, uint32_t k, uint32_t entry, uint8_t* buffer,
                               uint64_t remaining);
  NTSTATUS WriteBlockRun(uint32_t b, uint32_t k, uint32_t n, const uint8_t* src, uint64_t s, uint64_t remaining);
  NTSTATUS AllocateBlock(uint32_t block, uint32_t* entry);
  // Makes every write so far durable; a failure is traced naming what was to be flushed.
  NTSTATUS FlushFiles(const WCHAR* what);
  // The bitmap of the block at `entry` in a new buffer, or null with the status set.
  std::unique_ptr<uint8_t[]> ReadSectorBitmap(uint32_t entry, NTSTATUS* status);
  NTSTATUS WriteSectorBitmap(const uint8_t* bitmap, uint32_t entry);
  // Whether the block stored at `entry` lies wholly inside the files, before the footer, and,
  // for writes, clear of the header and the table.
  bool BlockInsideImage(uint32_t entry, bool forWrite) const;
  uint32_t BatEntry(uint32_t block) const;

  // Differencing disks.
  NTSTATUS FindParent();
  NTSTATUS TryLocator(uint32_t platformCode);
  NTSTATUS ReadLocator(const uint8_t* locator, uint32_t platformCode, std::u16string* path);
  // Opens the image at path read-only as m_Parent and checks it is the parent this image names;
  // the one place a parent is opened.
  NTSTATUS OpenParent(const WCHAR* path);
  // True when this image's unique id is already held by a child below it in the chain.
  bool ReachesItself() const;
  // True when the file starts with the signature of the newer VHDX format.
  bool IsVhdx();

  VHDFileSet m_Files;
  uint8_t m_footer[512] = {};
  uint8_t m_ShortFooter = 0;
  uint8_t m_header[1024] = {};
  uint8_t m_Dynamic = 0;
  uint8_t m_DiskType = 0;
  VHDVirtualDisk* m_Parent = nullptr;
  uint32_t m_MaxTableEntries = 0;
  uint32_t m_BlockSize = 0;
  uint32_t m_SectorsPerBlock = 0;
  uint32_t m_BitmapSectors = 0;
  uint64_t m_TableSector = 0;
  uint32_t m_BatEntries = 0;  // entries the disk's size needs (at most m_MaxTableEntries)
  uint64_t m_BatBytes = 0;
  std::unique_ptr<uint8_t[]> m_Bat;
  // The differencing chain below this image while it opens as a parent (not owned), and the
  // number of images below it.
  const VHDVirtualDisk* m_Child = nullptr;
  uint32_t m_Depth = 0;
};
