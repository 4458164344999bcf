// Joined reads of pieces that lie back to back in an image file, batched.
#include "disk/scatter_read.h"

NTSTATUS ScatterReader::Add(uint64_t fileSector, uint32_t count, uint8_t* buffer) {
  constexpr uint32_t kMaxPiece = static_cast<uint32_t>(kMaxBytes / 512);
  NTSTATUS status = STATUS_SUCCESS;
  while (count > kMaxPiece) {
    const NTSTATUS st = AddPiece(fileSector, kMaxPiece, buffer);
    if (st < 0) status = st;
    fileSector += kMaxPiece;
    count -= kMaxPiece;
    buffer += kMaxBytes;
  }
  const NTSTATUS st = AddPiece(fileSector, count, buffer);
  return st < 0 ? st : status;
}

NTSTATUS ScatterReader::AddPiece(uint64_t fileSector, uint32_t count, uint8_t* buffer) {
  const uint64_t bytes = uint64_t{count} * 512;
  const uint64_t start = fileSector * 512;
  NTSTATUS status = STATUS_SUCCESS;
  const bool continues = !m_Groups.empty() && m_Groups.back().start + m_Groups.back().bytes == start &&
                         m_Groups.back().bytes + bytes <= kMaxBytes;
  if (m_Segments.size() == kMaxSegments || m_Bytes + bytes > kMaxBytes ||
      (!continues && m_Groups.size() == kMaxGroups)) {
    status = Finish();
  }
  if (m_Groups.empty() || !continues) {
    m_Groups.push_back({start, 0, m_Segments.size(), 0});
  }
  Group& group = m_Groups.back();
  if (group.count != 0 && static_cast<uint8_t*>(m_Segments.back().buffer) + m_Segments.back().length == buffer) {
    m_Segments.back().length += static_cast<uint32_t>(bytes);  // neighbours in memory too
  } else {
    m_Segments.push_back({buffer, static_cast<uint32_t>(bytes)});
    ++group.count;
  }
  group.bytes += bytes;
  m_Bytes += bytes;
  return status;
}

NTSTATUS ScatterReader::Finish() {
  if (m_Groups.empty()) return STATUS_SUCCESS;
  FILE_SCATTER_REQUEST requests[kMaxGroups];
  uint32_t n = 0;
  for (const Group& g : m_Groups) requests[n++] = {g.start, m_Segments.data() + g.first, g.count};
  const NTSTATUS status = ZwReadFileScatterBatch(m_File, requests, n);
  m_Groups.clear();
  m_Segments.clear();
  m_Bytes = 0;
  return status;
}
