// VMDKExtentSet: the extents of one VMDK disk laid end to end from disk sector 0; splits each
// request into one piece per extent.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "vmdk/vmdk_extent.h"

class VMDKVirtualDisk;

class VMDKExtentSet {
 public:
  explicit VMDKExtentSet(VMDKVirtualDisk* owner) : m_Owner(owner) {}

  NTSTATUS AddFlatExtent(const WCHAR* path, uint32_t count);
  NTSTATUS AddWkstnSparseExtent(const WCHAR* path, uint32_t count);
  NTSTATUS AddESXSparseExtent(const WCHAR* path, uint32_t count);
  // At least one extent, and every extent valid.
  bool IsValid();
  NTSTATUS Read(uint64_t s, uint32_t n, void* buffer);
  // Runs of disk sectors in ascending order: each extent gets its pieces in one call.
  NTSTATUS ReadRuns(const SectorRun* runs, size_t count);
  NTSTATUS Write(uint64_t s, uint32_t n, const void* buffer);
  // Flushes (or closes) every extent file; the first failure is the status.
  NTSTATUS Flush();
  NTSTATUS Close();
  // Drops every extent (a second Open starts afresh).
  void Reset() { m_Extents.clear(); }
  size_t Count() const { return m_Extents.size(); }

  VMDKVirtualDisk* m_Owner;
  uint8_t m_ReadOnly = 0;

 private:
  NTSTATUS Append(std::unique_ptr<VMDKExtent> extent);
  template <class T>
  NTSTATUS Add(const WCHAR* path, uint32_t count);
  // Index of the extent holding disk sector s, or -1.
  ptrdiff_t Find(uint64_t s);

  std::vector<std::unique_ptr<VMDKExtent>> m_Extents;
};
