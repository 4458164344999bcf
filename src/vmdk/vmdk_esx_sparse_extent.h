// VMDKESXSparseExtent: the ESX sparse extent ("VMFSSPARSE"): a 2048-byte COWD header, one grain
// directory, and 4096-entry grain tables created at the end of the file when first written.
#pragma once
#include <cstdint>
#include <vector>

#include "vmdk/vmdk_sparse_extent.h"

constexpr uint32_t kEsxSparseMagic = 0x44574F43;  // "COWD"

class VMDKESXSparseExtent : public VMDKSparseExtent {
 public:
  VMDKESXSparseExtent(VMDKExtentSet* set, const WCHAR* path, uint64_t first, uint64_t last)
      : VMDKSparseExtent(set, path, first, last) {}
  void Load() override;
  NTSTATUS WriteGrainTable(uint32_t index) override;
  NTSTATUS WriteNewGrainTable(uint32_t index) override;

  static constexpr uint32_t kGTEsPerGT = 4096;
  static constexpr uint32_t kHeaderSize = 2048;

 private:
  void OnTableReadFailed(NTSTATUS status) override;

  uint8_t m_Header[kHeaderSize] = {};
  std::vector<uint8_t> m_Directory;
  uint32_t m_DirectorySector = 0;
  // A table was created whose directory entry is not yet in the file.
  bool m_DirectoryDirty = false;
};
