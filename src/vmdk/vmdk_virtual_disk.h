// VMDKVirtualDisk: a VMware disk image named by its descriptor (a text file, or a hosted sparse
// file with the descriptor inside); opens its extents and its parent chain.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "disk/virtual_disk.h"
#include "module/object.h"
#include "vmdk/vmdk_extent_set.h"

class VMDKVirtualDisk : public VirtualDisk {
 public:
  explicit VMDKVirtualDisk(const WCHAR* path);

  NTSTATUS Open(uint8_t readOnly) override;
  NTSTATUS Read(uint64_t firstSector, uint32_t count, void* buffer) override;
  NTSTATUS Write(uint64_t firstSector, uint32_t count, const void* buffer) override;
  VMPEEK_DESTROY_SLOT(VMDKVirtualDisk)

  // The opened parent of a differencing disk, or null.
  VMDKVirtualDisk* Parent() const { return m_Parent; }
  uint64_t SectorCount() const { return m_SectorCount; }
  uint32_t CID() const { return m_CID; }
  uint32_t ParentCID() const { return m_ParentCID; }

  // Deepest parent chain followed below the disk that was opened.
  static constexpr uint32_t kMaxParentDepth = 32;

 private:
  ~VMDKVirtualDisk();
  NTSTATUS OpenLocked(uint8_t readOnly);
  NTSTATUS ProcessDescriptorFile();
  NTSTATUS GetDescriptorData(HANDLE file, std::vector<char>* buffer);
  NTSTATUS GetTextDescriptorData(HANDLE file, std::vector<char>* buffer);
  NTSTATUS GetEmbeddedDescriptorData(HANDLE file, std::vector<char>* buffer);
  bool ParseExtentDescription(const char* line, uint64_t* count);
  NTSTATUS ReadCID(const std::vector<char>& buffer, const char* key, uint32_t* value);
  NTSTATUS OpenParent(const std::vector<char>& buffer);
  NTSTATUS TryParent(const std::u16string& path, bool* cidMismatch, NTSTATUS* openStatus);
  NTSTATUS ReadGeometry(const std::vector<char>& buffer);
  // The folder of the descriptor, with its trailing '\'.
  std::u16string DescriptorFolder() const;
  void ReleaseParent();

  uint32_t m_CID = 0;
  uint32_t m_ParentCID = 0;
  VMDKExtentSet m_Extents;
  VMDKVirtualDisk* m_Parent = nullptr;
  // The child that is opening this disk as its parent (for the chain checks), and the depth.
  VMDKVirtualDisk* m_Child = nullptr;
  uint32_t m_Depth = 0;
  // Set when the descriptor names an extent file outside its own folder.
  bool m_BadExtentName = false;
};
