// VHDFileSet: opening, mapping and growing the files of one VHD image.
#include "vhd/vhd_file_set.h"

#include <cstring>

#include "disk/image_file.h"
#include "module/parse_trace.h"
#include "platform/wstr.h"

namespace {

constexpr uint32_t kMaxContinuation = 99;
// Largest single transfer: its byte length must fit the 32-bit length of one call.
constexpr uint64_t kMaxRunSectors = 0x7FFFFF;

}  // namespace

VHDFileSet::VHDFileSet(const WCHAR* baseName) : m_BaseName(baseName ? baseName : u"") {}

VHDFileSet::~VHDFileSet() { Close(); }

NTSTATUS VHDFileSet::Flush() {
  NTSTATUS status = STATUS_SUCCESS;
  for (const FileEntry& f : m_Files) {
    if (!f.handle) continue;
    const NTSTATUS st = ZwFlushBuffersFile(f.handle);
    if (!NT_SUCCESS(st) && NT_SUCCESS(status)) status = st;
  }
  return status;
}

NTSTATUS VHDFileSet::Close() {
  NTSTATUS status = STATUS_SUCCESS;
  for (FileEntry& f : m_Files) {
    if (f.handle) {
      const NTSTATUS st = ZwClose(f.handle);
      if (!NT_SUCCESS(st) && NT_SUCCESS(status)) status = st;
      f.handle = nullptr;
    }
  }
  return status;
}

NTSTATUS VHDFileSet::OpenFile(const WCHAR* name, bool readWrite, uint8_t create, HANDLE* handle) {
  *handle = nullptr;
  return ZwCreateFile(handle, readWrite ? kImageAccessReadWrite : kImageAccessReadOnly, name,
                      kImageAttributes, kImageShare, create ? FILE_OPEN_IF : FILE_OPEN, kImageOptions);
}

std::u16string VHDFileSet::ContinuationName(uint32_t n) const {
  if (n == 0 || n > kMaxContinuation) return {};
  // Only the file name is searched and only ".VHD" changes case: the folder is the base
  // file's own, exactly as given.
  const size_t slash = m_BaseName.rfind(u'\\');
  const size_t nameStart = slash == std::u16string::npos ? 0 : slash + 1;
  for (size_t i = nameStart; i + 4 <= m_BaseName.size(); ++i) {
    if (m_BaseName[i] == u'.' && (m_BaseName[i + 1] | 0x20) == u'v' && (m_BaseName[i + 2] | 0x20) == u'h' &&
        (m_BaseName[i + 3] | 0x20) == u'd') {
      // ".Vnn" is exactly as long as ".VHD": the name ends right after the number.
      WCHAR number[5];
      WStrFormat(number, 5, u".V%02d", static_cast<int32_t>(n));
      return m_BaseName.substr(0, i) + number;
    }
  }
  return {};
}

NTSTATUS VHDFileSet::Open(uint8_t readOnly) {
  // A second Open starts over with a fresh table.
  Close();
  m_Files.clear();
  m_TotalSize = 0;
  m_ReadOnly = readOnly ? 1 : 0;

  NTSTATUS status = Add(m_BaseName.c_str(), 0);
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDFileSet::Open Add(%s) failed %08lx.\n", m_BaseName.c_str(), static_cast<uint32_t>(status));
    return status;
  }
  for (uint32_t n = 1; n <= kMaxContinuation; ++n) {
    const std::u16string name = ContinuationName(n);
    if (name.empty()) break;  // no ".VHD" in the base name: the image has no continuation files
    NTSTATUS added = Add(name.c_str(), 0);
    TRACE_ERR(u"VHDFileSet::Open Add(%s) gave %08lx.\n", name.c_str(), static_cast<uint32_t>(added));
    if (!NT_SUCCESS(added)) break;
  }
  return status;
}

NTSTATUS VHDFileSet::Add(const WCHAR* name, uint8_t create) {
  m_Files.reserve(m_Files.size() + 1);  // before a handle exists that a failure would lose
  HANDLE raw = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  bool opened = false;
  if (!m_ReadOnly) {
    status = OpenFile(name, true, create, &raw);
    if (NT_SUCCESS(status)) {
      opened = true;
    } else {
      TRACE_ERR(u"VHDFileSet::Add(%s) open for R/W failed %08lx.\n", name, static_cast<uint32_t>(status));
      if (status == STATUS_OBJECT_NAME_NOT_FOUND) return status;
    }
  }
  if (!opened) {
    // A file that cannot be written makes the whole set read-only, for good.
    m_ReadOnly = 1;
    status = OpenFile(name, false, create, &raw);
    if (!NT_SUCCESS(status)) {
      TRACE_ERR(u"VHDFileSet::Add(%s) open for R/O failed %08lx.\n", name, static_cast<uint32_t>(status));
      return status;
    }
  }
  uint64_t size = 0;
  status = ZwQueryFileSize(raw, &size);
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDFileSet::Add(%s) query for size failed %08lx.\n", name, static_cast<uint32_t>(status));
    ZwClose(raw);
    return status;
  }

  if (create && size != 0) {
    // An empty file of that name is what a crash between creating a continuation file and
    // giving it its first sectors leaves: it is taken over. Anything else is never overwritten.
    TRACE_ERR(u"VHDFileSet::Add(%s) the new file already exists with %I64d bytes\n", name,
              static_cast<int64_t>(size));
    status = STATUS_OBJECT_NAME_COLLISION;
  } else if (!create && (size == 0 || size % 512 != 0)) {
    TRACE_ERR(u"VHDFileSet::Add failed size(%I64d) is 0 or not a multiple of the sector size\n",
              static_cast<int64_t>(size));
    status = STATUS_INVALID_IMAGE_FORMAT;
  }
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDFileSet::Add(%s) Add failed %08lx.\n", name, static_cast<uint32_t>(status));
    ZwClose(raw);
    return status;
  }

  const uint64_t first = m_Files.empty() ? 0 : m_Files.back().first + m_Files.back().count;
  m_Files.push_back({first, size / 512, raw});  // the table owns the handle now
  m_TotalSize += size;
  return STATUS_SUCCESS;
}

NTSTATUS VHDFileSet::Transfer(uint64_t first, uint32_t count, uint8_t* buffer, bool write) {
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t s = first;
  uint64_t remaining = count;
  size_t i = 0;
  while (remaining) {
    while (i < m_Files.size() && s >= m_Files[i].first + m_Files[i].count) ++i;
    if (i == m_Files.size() || s < m_Files[i].first) {
      // Files follow one another without gaps, so nothing after this sector is held either.
      TRACE_ERR(write ? u"VHDFileSet::Write sector %I64d lies beyond the files of the set\n"
                      : u"VHDFileSet::Read sector %I64d lies beyond the files of the set\n",
                static_cast<int64_t>(s));
      if (!write) memset(buffer, 0, remaining * 512);
      return STATUS_INVALID_PARAMETER;
    }
    const FileEntry& f = m_Files[i];
    uint64_t n = f.first + f.count - s;
    if (n > remaining) n = remaining;
    if (n > kMaxRunSectors) n = kMaxRunSectors;
    uint32_t length = static_cast<uint32_t>(n * 512);
    uint64_t offset = (s - f.first) * 512;
    uint32_t done = 0;
    NTSTATUS st;
    if (write) {
      st = ZwWriteFile(f.handle, buffer, length, offset, &done);
      if (NT_SUCCESS(st) && done != length) st = STATUS_DISK_FULL;
      if (!NT_SUCCESS(st)) TRACE_ERR(u"VHDFileSet::Write write failed %08lx\n", static_cast<uint32_t>(st));
    } else {
      st = ZwReadFile(f.handle, buffer, length, offset, &done);
      // The file shrank behind our back: the sectors it no longer holds are not there.
      if (NT_SUCCESS(st) && done != length) st = STATUS_END_OF_FILE;
      if (!NT_SUCCESS(st)) TRACE_ERR(u"VHDFileSet::Read read failed %08lx\n", static_cast<uint32_t>(st));
    }
    status = st;
    s += n;
    buffer += n * 512;
    remaining -= n;
  }
  return status;
}

NTSTATUS VHDFileSet::Read(uint64_t first, uint32_t count, void* buffer) {
  if (m_Files.empty()) {
    TRACE_ERR(u"VHDFileSet::Read failed because there are no files in the set\n");
    return STATUS_FILE_INVALID;
  }
  if (count == 0) return STATUS_SUCCESS;
  return Transfer(first, count, static_cast<uint8_t*>(buffer), false);
}

NTSTATUS VHDFileSet::Write(uint64_t first, uint32_t count, const void* buffer) {
  if (m_Files.empty()) {
    TRACE_ERR(u"VHDFileSet::Write failed because there are no files in the set\n");
    return STATUS_FILE_INVALID;
  }
  if (count == 0) return STATUS_SUCCESS;
  if (m_ReadOnly) {
    TRACE_ERR(u"VHDFileSet::Write failed because fileset is readonly\n");
    return STATUS_ACCESS_DENIED;
  }
  return Transfer(first, count, static_cast<uint8_t*>(const_cast<void*>(buffer)), true);
}

NTSTATUS VHDFileSet::Extend(uint32_t sectors, const uint8_t* tail) {
  if (m_Files.empty()) {
    TRACE_ERR(u"VHDFileSet::Extend failed because there are no files in the set\n");
    return STATUS_FILE_INVALID;
  }
  if (sectors == 0) return STATUS_SUCCESS;
  if (m_ReadOnly) {
    TRACE_ERR(u"VHDFileSet::Extend failed because fileset is readonly\n");
    return STATUS_ACCESS_DENIED;
  }
  const size_t last = m_Files.size() - 1;
  uint64_t z = 0;
  NTSTATUS status = ZwQueryFileSize(m_Files[last].handle, &z);
  if (!NT_SUCCESS(status)) return status;
  uint64_t zs = z / 512;
  uint64_t grow = sectors;
  uint64_t rest = 0;
  if (m_Files.size() > 1 && zs + sectors > kMaxFileSectors) {
    grow = zs >= kMaxFileSectors ? 0 : kMaxFileSectors - zs;
    rest = sectors - grow;
  }

  if (rest) {
    // The new continuation file is created and given the set's new tail before the current
    // last file grows, so that at every step the set still ends with `tail`.
    const std::u16string name = ContinuationName(FileCount());
    if (name.empty()) {
      if (m_Files.size() > kMaxContinuation) {
        TRACE_ERR(u"VHDFileSet::Extend failed because the set already has %d files\n",
                  static_cast<int32_t>(m_Files.size()));
        return STATUS_DISK_FULL;
      }
      return STATUS_NO_SUCH_FILE;
    }
    status = Add(name.c_str(), 1);
    if (!NT_SUCCESS(status)) return status;
    status = Extend(static_cast<uint32_t>(rest), tail);
    if (!NT_SUCCESS(status) || grow == 0) return status;
    status = ZwSetEndOfFile(m_Files[last].handle, z + grow * 512);
    if (!NT_SUCCESS(status)) return status;
    m_Files[last].count += grow;
    for (size_t i = last + 1; i < m_Files.size(); ++i) m_Files[i].first += grow;
    m_TotalSize += grow * 512;
    return status;
  }

  uint64_t newSize = z + grow * 512;
  if (tail) {
    // Writing the last sector lengthens the file with zeros before it in one step.
    uint32_t done = 0;
    status = ZwWriteFile(m_Files[last].handle, tail, 512, newSize - 512, &done);
    if (NT_SUCCESS(status) && done != 512) status = STATUS_DISK_FULL;
    if (!NT_SUCCESS(status)) {
      TRACE_ERR(u"VHDFileSet::Extend write of the new last sector failed %08lx\n", static_cast<uint32_t>(status));
      ZwSetEndOfFile(m_Files[last].handle, z);
      return status;
    }
  }
  status = ZwSetEndOfFile(m_Files[last].handle, newSize);
  if (!NT_SUCCESS(status)) {
    if (tail) ZwSetEndOfFile(m_Files[last].handle, z);
    return status;
  }
  m_Files[last].count += grow;
  m_TotalSize += grow * 512;
  return status;
}
