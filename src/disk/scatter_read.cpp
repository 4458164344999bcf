// Joined reads of pieces that lie back to back in an image file.
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
  NTSTATUS status = STATUS_SUCCESS;
  if (!m_Segments.empty() && (fileSector * 512 != m_Start * 512 + m_Bytes || m_Segments.size() == kMaxSegments ||
                              m_Bytes + bytes > kMaxBytes)) {
    status = Finish();
  }
  if (m_Segments.empty()) m_Start = fileSector;
  if (!m_Segments.empty() && static_cast<uint8_t*>(m_Segments.back().buffer) + m_Segments.back().length == buffer &&
      m_Segments.back().length + bytes <= kMaxBytes) {
    m_Segments.back().length += static_cast<uint32_t>(bytes);  // neighbours in memory too
  } else {
    m_Segments.push_back({buffer, static_cast<uint32_t>(bytes)});
  }
  m_Bytes += bytes;
  return status;
}

NTSTATUS ScatterReader::Finish() {
  if (m_Segments.empty()) return STATUS_SUCCESS;
  uint32_t done = 0;
  const NTSTATUS status = ZwReadFileScatter(m_File, m_Segments.data(), static_cast<uint32_t>(m_Segments.size()),
                                            m_Start * 512, &done);
  m_Segments.clear();
  m_Bytes = 0;
  return status;
}
