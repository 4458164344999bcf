// VHDVirtualDisk: dynamic and differencing images (header, block allocation table, sector
// bitmaps, transfers and block allocation).
#include <cstring>
#include <memory>

#include "module/parse_trace.h"
#include "platform/endian.h"
#include "platform/wstr.h"
#include "vhd/vhd_format.h"
#include "vhd/vhd_virtual_disk.h"

using namespace vhd;

namespace {

#define STATUS_NO_MORE_SECTORS ((NTSTATUS)0x80000022)  // a request of 0 sectors

inline bool BitSet(const uint8_t* bitmap, uint32_t k) { return (bitmap[k >> 3] & (0x80u >> (k & 7))) != 0; }

// Length of the run of sectors k, k+1, ... (at most n) whose bits equal that of sector k.
uint32_t SameBitRun(const uint8_t* bitmap, uint32_t k, uint32_t n) {
  const bool set = BitSet(bitmap, k);
  const uint8_t whole = set ? 0xFF : 0x00;
  uint32_t i = 1;
  while (i < n) {
    uint32_t bit = k + i;
    if ((bit & 7) == 0 && i + 8 <= n && bitmap[bit >> 3] == whole) {
      i += 8;
      continue;
    }
    if (BitSet(bitmap, bit) != set) break;
    ++i;
  }
  return i;
}

}  // namespace

uint32_t VHDVirtualDisk::BatEntry(uint32_t block) const { return LoadBE32(m_Bat.get() + 4ull * block); }

NTSTATUS VHDVirtualDisk::OpenDynamic() {
  NTSTATUS status = m_Files.Read(1, 2, m_header);
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDVirtualDisk::OpenDynamic failed to read header %08lx.\n", static_cast<uint32_t>(status));
    return status;
  }
  if (memcmp(m_header + kHeaderCookie, "cxsparse", 8) != 0) {
    TRACE_ERR(u"VHDVirtualDisk::OpenDynamic no cxparse signature in header\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  m_MaxTableEntries = LoadBE32(m_header + kHeaderMaxTableEntries);
  m_BlockSize = LoadBE32(m_header + kHeaderBlockSize);
  m_SectorsPerBlock = m_BlockSize / kSectorSize;
  m_BitmapSectors = ((m_BlockSize / 4096) + 511) / 512;
  TRACE_DETAIL(u"m_header.MaxTableEntries    = %d blocks\n", static_cast<int32_t>(m_MaxTableEntries));
  TRACE_DETAIL(u"m_footer.BlockSize          = %d bytes\n", static_cast<int32_t>(m_BlockSize));
  TRACE_DETAIL(u"SectorsPerBlock    = %d blocks\n", static_cast<int32_t>(m_SectorsPerBlock));
  TRACE_DETAIL(u"BitmapSize    = %d sectors\n", static_cast<int32_t>(m_BitmapSectors));

  status = CheckDynamicLayout();
  if (!NT_SUCCESS(status)) return status;

  m_Bat = std::make_unique_for_overwrite<uint8_t[]>(m_BatBytes);
  return ReadBat();
}

// Refuses headers that would make later arithmetic divide by zero, index past the table or
// allocate more than the files could ever hold.
NTSTATUS VHDVirtualDisk::CheckDynamicLayout() {
  if (m_BlockSize < kMinBlockSize || m_BlockSize > kMaxBlockSize || (m_BlockSize & (m_BlockSize - 1)) != 0) {
    TRACE_ERR(u"VHDVirtualDisk::OpenDynamic block size %u is not a power of two from 4096 to 268435456 bytes.\n",
              m_BlockSize);
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  uint64_t tableOffset = LoadBE64(m_header + kHeaderTableOffset);
  if (tableOffset % kSectorSize != 0) {
    TRACE_ERR(u"VHDVirtualDisk::OpenDynamic table offset %I64d is not a multiple of 512.\n",
              static_cast<int64_t>(tableOffset));
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  if (m_MaxTableEntries > kMaxTableEntries) {
    // Tables that large are refused by other readers too (qemu-img: "Too many blocks").
    TRACE_ERR(u"VHDVirtualDisk::OpenDynamic table of %u entries is more than any image may have.\n", m_MaxTableEntries);
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  uint64_t blocksNeeded = (m_SectorCount + m_SectorsPerBlock - 1) / m_SectorsPerBlock;
  if (blocksNeeded > m_MaxTableEntries) {
    TRACE_ERR(u"VHDVirtualDisk::OpenDynamic %I64d sectors need %I64d blocks but the table has %u entries.\n",
              static_cast<int64_t>(m_SectorCount), static_cast<int64_t>(blocksNeeded), m_MaxTableEntries);
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  m_TableSector = tableOffset / kSectorSize;
  // Only the entries the disk's size needs are read and kept: a header may claim millions more
  // (and a sparse file of a few KB may seem to hold them).
  m_BatEntries = static_cast<uint32_t>(blocksNeeded);
  m_BatBytes = (4ull * m_BatEntries + 511) / 512 * 512;
  uint64_t tableEnd = m_TableSector + m_BatBytes / kSectorSize;
  uint64_t footerSector = m_Files.TotalSectors() - 1;
  if (m_TableSector > footerSector || tableEnd > footerSector) {
    TRACE_ERR(u"VHDVirtualDisk::OpenDynamic table (sectors %I64d to %I64d) does not fit before the footer (sector %I64d).\n",
              static_cast<int64_t>(m_TableSector), static_cast<int64_t>(tableEnd),
              static_cast<int64_t>(footerSector));
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  return STATUS_SUCCESS;
}

NTSTATUS VHDVirtualDisk::ReadBat() {
  const uint32_t batSectors = static_cast<uint32_t>(m_BatBytes / kSectorSize);
  TRACE_DETAIL(u"BAT starts at sector     = %d \n", static_cast<int32_t>(m_TableSector));
  TRACE_DETAIL(u"BAT is                   = %d sectors long\n", static_cast<int32_t>(batSectors));
  NTSTATUS status = m_Files.Read(m_TableSector, batSectors, m_Bat.get());
  TRACE_DETAIL(u"BAT blocknumber=Starting sector :-\n");
  if (!ParseDetailsWritten()) return status;  // nobody records the dump

  // The dump: 16 allocated entries to a line.
  WCHAR line[16 * 24 + 2];
  size_t used = 0;
  uint32_t resident = 0;
  int64_t firstFree = -1;
  for (uint32_t b = 0; b < m_BatEntries; ++b) {
    uint32_t entry = BatEntry(b);
    if (entry == kUnallocated) {
      if (firstFree < 0) firstFree = b;
      continue;
    }
    used += WStrFormat(line + used, sizeof line / sizeof line[0] - used, u"%4d=%8lx ",
                       static_cast<int32_t>(b), entry);
    if (++resident % 16 == 0) {
      TRACE_DETAIL(u"%s\n", line);
      used = 0;
    }
  }
  if (used) TRACE_DETAIL(u"%s", line);
  TRACE_DETAIL(u"\n%d out of %d blocks are resident\n", static_cast<int32_t>(resident),
               static_cast<int32_t>(m_MaxTableEntries));
  if (firstFree >= 0)
    TRACE_DETAIL(u"First free block is %d (sector %I64d)\n", static_cast<int32_t>(firstFree),
                 static_cast<int64_t>(firstFree * static_cast<int64_t>(m_SectorsPerBlock)));
  return status;
}

NTSTATUS VHDVirtualDisk::WriteBat() {
  return m_Files.Write(m_TableSector, static_cast<uint32_t>(m_BatBytes / kSectorSize), m_Bat.get());
}

// Writes back only the table sector that holds the block's entry: one sector, written whole.
NTSTATUS VHDVirtualDisk::WriteBatEntry(uint32_t block) {
  uint64_t index = 4ull * block / kSectorSize;
  return m_Files.Write(m_TableSector + index, 1, m_Bat.get() + index * kSectorSize);
}

bool VHDVirtualDisk::BlockInsideImage(uint32_t entry, bool forWrite) const {
  uint64_t start = entry;
  uint64_t end = start + m_BitmapSectors + m_SectorsPerBlock;
  if (end > m_Files.TotalSectors() - 1) return false;  // the last sector is the footer
  if (!forWrite) return true;
  // A write must not land on the footer copy, the header or the table.
  if (start < 3) return false;
  uint64_t tableEnd = m_TableSector + m_BatBytes / kSectorSize;
  return end <= m_TableSector || start >= tableEnd;
}

std::unique_ptr<uint8_t[]> VHDVirtualDisk::ReadSectorBitmap(uint32_t entry, NTSTATUS* status) {
  auto bitmap = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(m_BitmapSectors) * kSectorSize);
  *status = m_Files.Read(entry, m_BitmapSectors, bitmap.get());
  if (!NT_SUCCESS(*status)) {
    TRACE_ERR(u"VHDVirtualDisk::ReadSectorBitmap (%d) failed to read sector bitmap %08lx.\n",
              static_cast<int32_t>(entry), static_cast<uint32_t>(*status));
    return nullptr;
  }
  return bitmap;
}

NTSTATUS VHDVirtualDisk::WriteSectorBitmap(const uint8_t* bitmap, uint32_t entry) {
  NTSTATUS status = m_Files.Write(entry, m_BitmapSectors, bitmap);
  if (!NT_SUCCESS(status))
    TRACE_ERR(u"VHDVirtualDisk::WriteSectorBitmap (%d) failed to write sector bitmap %08lx.\n",
              static_cast<int32_t>(entry), static_cast<uint32_t>(status));
  return status;
}

// One allocated block of a differencing image: neighbouring sectors whose bits agree are read
// together, from the image or from the parent.
NTSTATUS VHDVirtualDisk::ReadDifferencingRun(uint64_t s, uint32_t n, uint32_t k, uint32_t entry,
                                             uint8_t* buffer, uint64_t remaining) {
  NTSTATUS status;
  const std::unique_ptr<uint8_t[]> bitmap = ReadSectorBitmap(entry, &status);
  if (!bitmap) {
    memset(buffer, 0, static_cast<size_t>(n) * kSectorSize);
    return status;
  }
  uint32_t i = 0;
  while (i < n) {
    uint32_t len = SameBitRun(bitmap.get(), k + i, n - i);
    uint8_t* dst = buffer + static_cast<size_t>(i) * kSectorSize;
    if (BitSet(bitmap.get(), k + i)) {
      status = m_Files.Read(static_cast<uint64_t>(entry) + m_BitmapSectors + k + i, len, dst);
      if (!NT_SUCCESS(status))
        TRACE_ERR(u"VHDVirtualDisk::ReadDynamic (%I64d,%d) failed to read sector %d %08lx.\n",
                  static_cast<int64_t>(s), static_cast<int32_t>(remaining), static_cast<int32_t>(i),
                  static_cast<uint32_t>(status));
    } else {
      status = ReadThroughParent(m_Parent, s + i, len, dst);
      if (!NT_SUCCESS(status))
        TRACE_ERR(u"VHDVirtualDisk::ReadDynamic (%I64d,%d) failed to read sector %d from parent %08lx.\n",
                  static_cast<int64_t>(s), static_cast<int32_t>(remaining), static_cast<int32_t>(i),
                  static_cast<uint32_t>(status));
    }
    i += len;
  }
  return status;
}

NTSTATUS VHDVirtualDisk::ReadDynamic(uint64_t first, uint32_t count, void* buffer) {
  if (!m_Bat) {
    TRACE_ERR(u"VHDVirtualDisk::ReadDynamic (%I64d,%d) failed - no BAT.\n", static_cast<int64_t>(first),
              static_cast<int32_t>(count));
    return STATUS_NO_MEMORY;
  }
  if (count == 0) return STATUS_NO_MORE_SECTORS;

  NTSTATUS status = STATUS_SUCCESS;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint64_t s = first;
  uint64_t remaining = count;
  while (remaining) {
    uint32_t b = static_cast<uint32_t>(s / m_SectorsPerBlock);
    uint32_t k = static_cast<uint32_t>(s % m_SectorsPerBlock);
    uint64_t n = m_SectorsPerBlock - k;
    if (n > remaining) n = remaining;
    uint32_t entry = BatEntry(b);
    if (entry == kUnallocated) {
      // Neighbouring unallocated blocks are one run: one parent read, or one fill.
      while (n < remaining && BatEntry(b + static_cast<uint32_t>((k + n) / m_SectorsPerBlock)) == kUnallocated)
        n += remaining - n < m_SectorsPerBlock ? remaining - n : m_SectorsPerBlock;
      if (m_Parent) {
        status = ReadThroughParent(m_Parent, s, static_cast<uint32_t>(n), out);
        if (!NT_SUCCESS(status))
          TRACE_ERR(u"VHDVirtualDisk::ReadDynamic (%I64d,%d) failed to read from parent %08lx.\n",
                    static_cast<int64_t>(s), static_cast<int32_t>(remaining), static_cast<uint32_t>(status));
      } else {
        memset(out, 0, n * kSectorSize);
        status = STATUS_SUCCESS;
      }
    } else if (!BlockInsideImage(entry, false)) {
      TRACE_ERR(u"VHDVirtualDisk::ReadDynamic (%I64d,%d) block %d at sector %u lies outside the image.\n",
                static_cast<int64_t>(s), static_cast<int32_t>(remaining), static_cast<int32_t>(b), entry);
      memset(out, 0, n * kSectorSize);
      status = STATUS_DISK_CORRUPT_ERROR;
    } else if (m_Parent) {
      status = ReadDifferencingRun(s, static_cast<uint32_t>(n), k, entry, out, remaining);
    } else {
      status = m_Files.Read(static_cast<uint64_t>(entry) + m_BitmapSectors + k, static_cast<uint32_t>(n), out);
      if (!NT_SUCCESS(status))
        TRACE_ERR(u"VHDVirtualDisk::ReadDynamic (%I64d,%d) failed to sectors %08lx.\n",
                  static_cast<int64_t>(s), static_cast<int32_t>(remaining), static_cast<uint32_t>(status));
    }
    s += n;
    out += n * kSectorSize;
    remaining -= n;
  }
  return status;
}

NTSTATUS VHDVirtualDisk::WriteDynamic(uint64_t first, uint32_t count, const void* buffer) {
  if (!m_Bat) {
    TRACE_ERR(u"VHDVirtualDisk::WriteDynamic (%I64d,%d) failed - no BAT.\n", static_cast<int64_t>(first),
              static_cast<int32_t>(count));
    return STATUS_NO_MEMORY;
  }
  if (count == 0) return STATUS_NO_MORE_SECTORS;

  NTSTATUS status = STATUS_SUCCESS;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  uint64_t s = first;
  uint64_t remaining = count;
  while (remaining) {
    uint32_t b = static_cast<uint32_t>(s / m_SectorsPerBlock);
    uint32_t k = static_cast<uint32_t>(s % m_SectorsPerBlock);
    uint32_t n = m_SectorsPerBlock - k;
    if (n > remaining) n = static_cast<uint32_t>(remaining);
    status = WriteBlockRun(b, k, n, in, s, remaining);
    s += n;
    in += static_cast<size_t>(n) * kSectorSize;
    remaining -= n;
  }
  return status;
}

// One run inside block b. Each step reaches the disk before the next is written, so a power
// loss at any point leaves the old view or the new one: the data, then the bitmap bits that
// show it, then (for a new block) the table entry that makes the block part of the image.
NTSTATUS VHDVirtualDisk::WriteBlockRun(uint32_t b, uint32_t k, uint32_t n, const uint8_t* src, uint64_t s,
                                       uint64_t remaining) {
  uint32_t entry = BatEntry(b);
  const bool fresh = entry == kUnallocated;
  NTSTATUS status = STATUS_SUCCESS;
  if (fresh) {
    status = AllocateBlock(b, &entry);
    if (!NT_SUCCESS(status)) return status;
  }
  if (!BlockInsideImage(entry, true)) {
    TRACE_ERR(u"VHDVirtualDisk::WriteDynamic (%I64d,%d) block %d at sector %u lies outside the image.\n",
              static_cast<int64_t>(s), static_cast<int32_t>(remaining), static_cast<int32_t>(b), entry);
    return STATUS_DISK_CORRUPT_ERROR;
  }
  status = m_Files.Write(static_cast<uint64_t>(entry) + m_BitmapSectors + k, n, src);
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDVirtualDisk::WriteDynamic (%I64d,%d) failed to write sectors %08lx.\n",
              static_cast<int64_t>(s), static_cast<int32_t>(remaining), static_cast<uint32_t>(status));
    return status;
  }
  // A new block's bitmap starts empty (it also covers the old footer); an old one is read.
  const std::unique_ptr<uint8_t[]> bitmap =
      fresh ? std::make_unique<uint8_t[]>(static_cast<size_t>(m_BitmapSectors) * kSectorSize)
            : ReadSectorBitmap(entry, &status);
  if (!bitmap) return status;
  bool changed = fresh;
  for (uint32_t i = k; i < k + n; ++i) {
    uint8_t mask = static_cast<uint8_t>(0x80u >> (i & 7));
    if (!(bitmap[i >> 3] & mask)) {
      bitmap[i >> 3] |= mask;
      changed = true;
    }
  }
  if (changed) status = FlushFiles(u"the block's data");
  if (changed && NT_SUCCESS(status)) status = WriteSectorBitmap(bitmap.get(), entry);
  if (!fresh || !NT_SUCCESS(status)) return status;
  status = FlushFiles(u"the block's bitmap");
  if (!NT_SUCCESS(status)) return status;
  StoreBE32(m_Bat.get() + 4ull * b, entry);
  status = WriteBatEntry(b);
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDVirtualDisk::AllocateBlock (%d) failed to write the table %08lx.\n",
              static_cast<int32_t>(b), static_cast<uint32_t>(status));
    StoreBE32(m_Bat.get() + 4ull * b, kUnallocated);
  }
  return status;
}

NTSTATUS VHDVirtualDisk::FlushFiles(const WCHAR* what) {
  const NTSTATUS status = m_Files.Flush();
  if (!NT_SUCCESS(status))
    TRACE_ERR(u"VHDVirtualDisk::WriteDynamic flush of %s failed %08lx.\n", what, static_cast<uint32_t>(status));
  return status;
}

// Appends room for a block where the footer was: the set grows with the footer already in its
// new last sector, so the image stays valid at every step. The new space stays unused until
// the caller has written the block and records it in the table; *entry is its first sector.
NTSTATUS VHDVirtualDisk::AllocateBlock(uint32_t block, uint32_t* entry) {
  uint64_t old = m_Files.TotalSectors() - 1;
  if (old >= kUnallocated) {
    TRACE_ERR(u"VHDVirtualDisk::AllocateBlock (%d) the image is too large to address a new block.\n",
              static_cast<int32_t>(block));
    return STATUS_DISK_FULL;
  }
  uint8_t footer[512] = {};
  if (m_ShortFooter)
    memcpy(footer + 1, m_footer, 511);
  else
    memcpy(footer, m_footer, 512);

  NTSTATUS status = m_Files.Extend(m_SectorsPerBlock + m_BitmapSectors, footer);
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDVirtualDisk::AllocateBlock (%d) failed to extend the image %08lx.\n",
              static_cast<int32_t>(block), static_cast<uint32_t>(status));
    return status;
  }
  *entry = static_cast<uint32_t>(old);
  return STATUS_SUCCESS;
}
