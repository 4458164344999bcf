// CVirtualMachine: what both configuration readers share — the configuration path, the
// reference count and the list of disk file names that the reader's Open fills.
#pragma once
#include <cstdint>
#include "vmpeek/vmpeek.h"

class CVirtualMachine : public vmpeek::CVirtualMachine {
 public:
  uint32_t AddRef() override;
  void Release() override;
  int32_t GetDiskCount() override;
  const WCHAR* GetDiskName(int32_t index) override;

  // The configuration path as received (null only when it could not be copied).
  const WCHAR* Path() const { return m_Path; }

 protected:
  explicit CVirtualMachine(const WCHAR* path);
  ~CVirtualMachine();  // run by the reader's Destroy slot

  // Sets the disk count and makes a cleared name array for it; false when the array cannot be
  // had (the count stands and every name reads as absent).
  bool AllocateDiskNames(int32_t count);

  WCHAR* m_Path = nullptr;
  volatile uint32_t m_RefCount = 1;
  int32_t m_DiskCount = 0;
  WCHAR** m_DiskNames = nullptr;
};
