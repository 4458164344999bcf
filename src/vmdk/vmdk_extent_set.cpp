// The extent set: extents in disk order and the split of requests between them.
#include "vmdk/vmdk_extent_set.h"

#include "module/parse_trace.h"
#include "vmdk/vmdk_esx_sparse_extent.h"
#include "vmdk/vmdk_wkstn_sparse_extent.h"

template <class T>
NTSTATUS VMDKExtentSet::Add(const WCHAR* path, uint32_t count) {
  const uint64_t first = m_Extents.empty() ? 0 : m_Extents.back()->GetLastSector() + 1;
  const uint64_t last = first + count - 1;
  std::unique_ptr<VMDKExtent> extent = std::make_unique<T>(this, path, first, last);
  extent->Load();  // an extent whose file or tables failed is still appended, invalid
  return Append(std::move(extent));
}

NTSTATUS VMDKExtentSet::Append(std::unique_ptr<VMDKExtent> extent) {
  m_Extents.push_back(std::move(extent));
  return STATUS_SUCCESS;
}

NTSTATUS VMDKExtentSet::AddFlatExtent(const WCHAR* path, uint32_t count) {
  return Add<VMDKFlatExtent>(path, count);
}
NTSTATUS VMDKExtentSet::AddWkstnSparseExtent(const WCHAR* path, uint32_t count) {
  return Add<VMDKWkstnSparseExtent>(path, count);
}
NTSTATUS VMDKExtentSet::AddESXSparseExtent(const WCHAR* path, uint32_t count) {
  return Add<VMDKESXSparseExtent>(path, count);
}

NTSTATUS VMDKExtentSet::Flush() {
  NTSTATUS status = STATUS_SUCCESS;
  for (auto& extent : m_Extents) {
    const NTSTATUS st = extent->Flush();
    if (st < 0 && status >= 0) status = st;
  }
  return status;
}

NTSTATUS VMDKExtentSet::Close() {
  NTSTATUS status = STATUS_SUCCESS;
  for (auto& extent : m_Extents) {
    const NTSTATUS st = extent->Close();
    if (st < 0 && status >= 0) status = st;
  }
  return status;
}

bool VMDKExtentSet::IsValid() {
  if (m_Extents.empty()) return false;
  for (auto& extent : m_Extents) {
    if (!extent->IsValid()) return false;
  }
  return true;
}

ptrdiff_t VMDKExtentSet::Find(uint64_t s) {
  // Ranges are contiguous and ascending from sector 0: binary search on the first sectors.
  size_t lo = 0, hi = m_Extents.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (m_Extents[mid]->GetLastSector() < s) lo = mid + 1;
    else hi = mid;
  }
  if (lo < m_Extents.size() && m_Extents[lo]->GetFirstSector() <= s && s <= m_Extents[lo]->GetLastSector())
    return static_cast<ptrdiff_t>(lo);
  return -1;
}

NTSTATUS VMDKExtentSet::Read(uint64_t s, uint32_t n, void* buffer) {
  if (m_Extents.empty()) {
    TRACE_ERR(u"VMDKExtentSet::Read no extent data\n");
    return STATUS_FILE_INVALID;
  }
  if (n == 0) return STATUS_NO_MORE_FILES_WARNING;
  const SectorRun run{s, n, static_cast<uint8_t*>(buffer)};
  return ReadRuns(&run, 1);
}

NTSTATUS VMDKExtentSet::ReadRuns(const SectorRun* runs, size_t count) {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<SectorRun> batch;
  ptrdiff_t owner = -1;
  auto send = [&] {
    if (batch.empty()) return;
    const NTSTATUS st = m_Extents[static_cast<size_t>(owner)]->ReadRuns(batch.data(), batch.size());
    if (st < 0) {
      TRACE_ERR(u"VMDKExtentSet::Read read from an extent failed %08lx\n", static_cast<uint32_t>(st));
      status = st;
    }
    batch.clear();
  };
  for (size_t i = 0; i < count; ++i) {
    uint64_t s = runs[i].sector;
    uint32_t n = runs[i].count;
    uint8_t* b = runs[i].buffer;
    while (n > 0) {
      const ptrdiff_t k = Find(s);
      if (k < 0) {
        // Sectors counted by a line that made no extent: nothing can serve them.
        TRACE_ERR(u"VMDKExtentSet::Read no extent holds sector %I64d\n", s);
        send();
        return STATUS_INVALID_PARAMETER;
      }
      VMDKExtent* extent = m_Extents[static_cast<size_t>(k)].get();
      const uint64_t room = extent->GetLastSector() - s + 1;
      const uint32_t piece = room < n ? static_cast<uint32_t>(room) : n;
      if (k != owner) {
        send();
        owner = k;
      }
      batch.push_back({s - extent->GetFirstSector(), piece, b});
      n -= piece;
      s += piece;
      b += uint64_t{piece} * kVmdkSectorSize;
    }
  }
  send();
  return status;
}

NTSTATUS VMDKExtentSet::Write(uint64_t s, uint32_t n, const void* buffer) {
  if (m_Extents.empty()) {
    TRACE_ERR(u"VMDKExtentSet::Write no extent data\n");
    return STATUS_FILE_INVALID;
  }
  if (n == 0) return STATUS_NO_MORE_FILES_WARNING;
  NTSTATUS status = STATUS_NO_MORE_FILES_WARNING;
  const uint8_t* b = static_cast<const uint8_t*>(buffer);
  while (n > 0) {
    const ptrdiff_t k = Find(s);
    if (k < 0) {
      TRACE_ERR(u"VMDKExtentSet::Write no extent holds sector %I64d\n", s);
      return STATUS_INVALID_PARAMETER;
    }
    VMDKExtent* extent = m_Extents[static_cast<size_t>(k)].get();
    const uint64_t room = extent->GetLastSector() - s + 1;
    const uint32_t piece = room < n ? static_cast<uint32_t>(room) : n;
    status = extent->Write(s - extent->GetFirstSector(), piece, b);
    if (status < 0) {
      TRACE_ERR(u"VMDKExtentSet::Write write to an extent failed %08lx\n", static_cast<uint32_t>(status));
    }
    n -= piece;
    s += piece;
    b += uint64_t{piece} * kVmdkSectorSize;
  }
  return status;
}
