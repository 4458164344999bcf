// VMDKWkstnSparseExtent: the hosted sparse extent ("SPARSE"): a 512-byte KDMV header, a grain
// directory and its redundant copy; both copies of a grain table are kept up to date.
#pragma once
#include <cstdint>
#include <vector>

#include "vmdk/vmdk_sparse_extent.h"

constexpr uint32_t kHostedSparseMagic = 0x564D444B;  // "KDMV"

class VMDKWkstnSparseExtent : public VMDKSparseExtent {
 public:
  VMDKWkstnSparseExtent(VMDKExtentSet* set, const WCHAR* path, uint64_t first, uint64_t last)
      : VMDKSparseExtent(set, path, first, last) {}
  void Load() override;
  NTSTATUS WriteGrainTable(uint32_t index) override;
  NTSTATUS WriteNewGrainTable(uint32_t index) override;

  // Header flags.
  static constexpr uint32_t kFlagRedundantDirectory = 1u << 1;
  static constexpr uint32_t kFlagCompressed = 1u << 16;
  static constexpr uint32_t kFlagMarkers = 1u << 17;

 private:
  // Refuses header features this reader does not handle; false with an error trace.
  bool HeaderSupported(uint32_t flags, uint64_t gdOffset);
  // Whether the directory not used for reading may carry table writes.
  bool OtherDirectoryUsable(const std::vector<uint8_t>& used, const std::vector<uint8_t>& other);
  // Takes over grains that only the other copy of a table records: a write stopped between
  // the two table copies (the primary is written first) has its data in place already.
  void AdoptGrainsOfOtherCopy(const std::vector<uint8_t>& other);
  bool OtherTableWanted(const std::vector<uint8_t>& other, uint32_t t) const;
  // Takes the entries of table t that only `copy` (the other copy of it) records.
  void AdoptFromTable(uint32_t t, const uint8_t* copy);

  uint8_t m_Header[512] = {};
  uint8_t m_UseBackupDirectory = 0;
  std::vector<uint8_t> m_Directory;
  std::vector<uint8_t> m_BackupDirectory;
  bool m_WritePrimary = false;
  bool m_WriteBackup = false;
};
