// VMDKVirtualDisk: a VMware disk image named by its descriptor (a text file, or a hosted sparse
// file with the descriptor inside); opens its extents and its parent chain.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "disk/parent_chain.h"
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
  NTSTATUS Flush() override;

  // Runs of this disk's sectors (ascending) read under the disk's lock, for a child that reads
  // every run it lacks in one request.
  NTSTATUS ReadRuns(const SectorRun* runs, size_t count);
  // The opened parent of a differencing disk, or null.
  VMDKVirtualDisk* Parent() const { return m_Parent; }
  uint64_t SectorCount() const { return m_SectorCount; }
  uint32_t CID() const { return m_CID; }
  uint32_t ParentCID() const { return m_ParentCID; }


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
  // The extent file of a line: the descriptor file itself for an embedded descriptor, else the
  // named file beside the descriptor. False (and m_BadExtentName) when the line may not be used.
  bool ExtentPath(const char* name, bool sparse, std::u16string* path);
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
  // Set when the descriptor names an extent it may not: a file outside its own folder, or, for
  // a descriptor embedded in a sparse file, anything but that file.
  bool m_BadExtentName = false;
  // The descriptor came from inside a hosted sparse file: that file is its one extent.
  bool m_EmbeddedDescriptor = false;
};
