// VMDKVirtualDisk: reading and checking the descriptor, its extent lines, the parent chain and
// the geometry.
#include <cstring>
#include <new>
#include <string>

#include "disk/image_file.h"
#include "module/parse_trace.h"
#include "platform/endian.h"
#include "platform/path.h"
#include "vmdk/vmdk_text.h"
#include "vmdk/vmdk_virtual_disk.h"
#include "vmdk/vmdk_wkstn_sparse_extent.h"

namespace {

constexpr uint64_t kMaxTextDescriptor = 2048;
constexpr uint64_t kMaxEmbeddedSectors = 32;  // an embedded descriptor is below 32 sectors

// The line that ends the extent lines: "# The Disk Data Base", trailing blanks ignored.
bool IsDataBaseHeader(const char* line) {
  static const char kHeader[] = "# The Disk Data Base";
  size_t len = strlen(line);
  while (len > 0 && (line[len - 1] == ' ' || line[len - 1] == '\t')) --len;
  return len == sizeof(kHeader) - 1 && DescriptorPrefixEquals(line, kHeader);
}

// A name that can only mean a file in the descriptor's own folder.
bool IsPlainFileName(const char* name) {
  if (name[0] == 0 || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  return strpbrk(name, "\\/:") == nullptr;
}

// A path reduced for comparison: no "\??\" prefix, '\' separators, "." and ".." resolved,
// a-z folded.
std::u16string ComparablePath(const WCHAR* path) {
  std::u16string p(path ? path : u"");
  if (p.rfind(u"\\??\\", 0) == 0) p.erase(0, 4);
  std::u16string out;
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = start;
    while (end < p.size() && p[end] != u'\\' && p[end] != u'/') ++end;
    std::u16string part = p.substr(start, end - start);
    if (part == u"..") {
      const size_t cut = out.rfind(u'\\');
      out.erase(cut == std::u16string::npos ? 0 : cut);
    } else if (!part.empty() && part != u".") {
      if (!out.empty() || start != 0) out += u'\\';
      for (char16_t& c : part) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
      }
      out += part;
    }
    start = end + 1;
  }
  return out;
}

// A createType line whose value is streamOptimized (blanks around "=" and quotes allowed).
bool IsStreamOptimized(const char* line) {
  if (line == nullptr) return false;
  std::string value;
  for (const char* p = line + 10; *p; ++p)
    if (*p != ' ' && *p != '\t' && *p != '=' && *p != '"') value += *p;
  return DescriptorEquals(value.c_str(), "streamOptimized");
}

// The decimal value at byte `offset` of a line; 0 when the line is shorter.
int32_t ValueAt(const char* line, size_t offset) {
  return strlen(line) < offset ? 0 : ParseDecimal32(line + offset);
}

}  // namespace

std::u16string VMDKVirtualDisk::DescriptorFolder() const {
  const std::u16string& path = m_FileName;
  const size_t cut = path.rfind(u'\\');
  return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut + 1);
}

NTSTATUS VMDKVirtualDisk::GetTextDescriptorData(HANDLE file, std::vector<char>* buffer) {
  uint64_t size = 0;
  NTSTATUS status = ZwQueryFileSize(file, &size);
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::GetTextDescriptorData descriptor size query failed %08lx.\n",
              static_cast<uint32_t>(status));
    return status;
  }
  if (size > kMaxTextDescriptor) {
    TRACE_ERR(u"VMDKVirtualDisk::GetTextDescriptorData descriptor is too big %I64d.\n", size);
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  buffer->assign(size + 1, 0);
  status = ReadImageBytes(file, 0, size, buffer->data());
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::GetTextDescriptorData read from descriptor file failed %08lx.\n",
              static_cast<uint32_t>(status));
    buffer->clear();
  }
  return status;
}

NTSTATUS VMDKVirtualDisk::GetEmbeddedDescriptorData(HANDLE file, std::vector<char>* buffer) {
  uint64_t size = 0;
  NTSTATUS status = ZwQueryFileSize(file, &size);
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::GetEmbeddedDescriptorData descriptor size query failed %08lx.\n",
              static_cast<uint32_t>(status));
    return status;
  }
  if (size < 512) {
    TRACE_ERR(u"VMDKVirtualDisk::GetEmbeddedDescriptorData file is too small %I64dlx.\n", size);
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  uint8_t header[512];
  status = ReadImageBytes(file, 0, sizeof(header), header);
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::GetEmbeddedDescriptorData failed to read file header %08lx.\n",
              static_cast<uint32_t>(status));
    return status;
  }
  if (LoadLE32(header) != kHostedSparseMagic) {
    TRACE_ERR(u"VMDKVirtualDisk::GetEmbeddedDescriptorData header magicnumber is wrong \n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  const uint64_t offset = LoadLE64(header + 28);
  const uint64_t sectors = LoadLE64(header + 36);
  TRACE_DETAIL(u"Header.descriptorOffset = %d sectors.\n", static_cast<int32_t>(offset));
  TRACE_DETAIL(u"Header.descriptorSize   = %d sectors.\n", static_cast<int32_t>(sectors));
  if (offset == 0 || sectors >= kMaxEmbeddedSectors) {
    TRACE_ERR(u"VMDKVirtualDisk::GetEmbeddedDescriptorData no embedded descriptor.\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  buffer->assign(sectors * 512 + 1, 0);
  status = offset > size / 512 ? STATUS_END_OF_FILE : ReadImageBytes(file, offset * 512, sectors * 512, buffer->data());
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::GetEmbeddedDescriptorData failed to read descriptor data %08lx.\n",
              static_cast<uint32_t>(status));
    buffer->clear();
  }
  return status;
}

NTSTATUS VMDKVirtualDisk::GetDescriptorData(HANDLE file, std::vector<char>* buffer) {
  buffer->clear();
  uint64_t size = 0;
  NTSTATUS status = ZwQueryFileSize(file, &size);
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::GetDescriptorData failed to get filesize %08lx.\n", static_cast<uint32_t>(status));
    return status;
  }
  if (size < 4) {
    TRACE_ERR(u"VMDKVirtualDisk::GetDescriptorData file is too small.\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  uint8_t signature[4];
  status = ReadImageBytes(file, 0, sizeof(signature), signature);
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::GetDescriptorData failed to read file signature %08lx.\n",
              static_cast<uint32_t>(status));
    return status;
  }
  if (LoadLE32(signature) == kHostedSparseMagic) {
    TRACE_DETAIL(u"This is a sparse extent - looking for embedded descriptor.\n");
    m_EmbeddedDescriptor = true;
    status = GetEmbeddedDescriptorData(file, buffer);
  } else if (memcmp(signature, "# Di", 4) == 0) {
    TRACE_DETAIL(u"This is a text descriptor.\n");
    status = GetTextDescriptorData(file, buffer);
  } else {
    TRACE_ERR(u"VMDKVirtualDisk::GetDescriptorData file is neither SPARSE or text.\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  if (status >= 0) {
    for (char& c : *buffer) {
      if (c == '\r' || c == '\n') c = 0;
    }
  }
  return status;
}

NTSTATUS VMDKVirtualDisk::ReadCID(const std::vector<char>& buffer, const char* key, uint32_t* value) {
  const char* line = FindDescriptorLine(buffer.data(), buffer.size(), key);
  if (line == nullptr) {
    TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile didn't find cid.\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  TRACE_DETAIL(u"cid line = \"%hs\".\n", line);
  // "CID=fffffffe" becomes "  0xfffffffe": the value is always hexadecimal.
  std::string copy(line);
  const size_t keyLength = strlen(key);
  for (size_t i = 0; i < keyLength && i < copy.size(); ++i) copy[i] = ' ';
  if (keyLength >= 2 && copy.size() >= keyLength) {
    copy[keyLength - 2] = '0';
    copy[keyLength - 1] = 'x';
  }
  TRACE_DETAIL(u"cid line = \"%hs\".\n", copy.c_str());
  *value = ParseHexValue(copy.c_str());
  return STATUS_SUCCESS;
}

bool VMDKVirtualDisk::ParseExtentDescription(const char* line, uint64_t* count) {
  std::string copy(line);
  const size_t length = copy.size();
  SplitSegments(copy.data());
  const std::vector<const char*> segments = LineSegments(copy.data(), length);
  if (!DescriptorEquals(segments[0], "RW")) m_Extents.m_ReadOnly = 1;
  if (segments.size() < 2) {
    TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription not enough segments (1).\n");
    return false;
  }
  const int32_t sectors = ParseDecimal32(segments[1]);
  if (sectors == 0) {
    TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription sector count appears to be 0 (%hs).\n", segments[1]);
    return false;
  }
  *count = static_cast<uint32_t>(sectors);
  const char* type = "";
  if (segments.size() < 3) {
    TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription not enough segments (2).\n");
  } else {
    type = segments[2];
  }
  NTSTATUS (VMDKExtentSet::*add)(const WCHAR*, uint32_t) = nullptr;
  if (DescriptorEquals(type, "FLAT") || DescriptorEquals(type, "VMFS")) add = &VMDKExtentSet::AddFlatExtent;
  else if (DescriptorEquals(type, "SPARSE")) add = &VMDKExtentSet::AddWkstnSparseExtent;
  else if (DescriptorEquals(type, "VMFSSPARSE")) add = &VMDKExtentSet::AddESXSparseExtent;
  if (add == nullptr && !m_EmbeddedDescriptor) {
    TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription unrecognised extent format (%hs).\n", type);
    return true;
  }
  // An embedded descriptor's extent name is not used (copies are renamed; FreeBSD writes "").
  if (segments.size() < 4 && !m_EmbeddedDescriptor) {
    TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription not enough segments (3).\n");
    return false;
  }
  std::u16string path;
  if (!ExtentPath(segments.size() >= 4 ? segments[3] : "", add == &VMDKExtentSet::AddWkstnSparseExtent, &path))
    return false;
  const NTSTATUS status = (m_Extents.*add)(path.c_str(), static_cast<uint32_t>(sectors));
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription failed to add extent %08lx.\n", static_cast<uint32_t>(status));
  }
  return true;
}

bool VMDKVirtualDisk::ExtentPath(const char* name, bool sparse, std::u16string* path) {
  if (m_EmbeddedDescriptor) {
    // The file holding the descriptor is the extent, whatever name the line gives it.
    if (!sparse || m_Extents.Count() != 0) {
      TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription the descriptor embedded in %s lists extents other than its own file.\n",
                m_FileName.c_str());
      m_BadExtentName = true;
      return false;
    }
    *path = m_FileName;
    return true;
  }
  if (!IsPlainFileName(name)) {
    // A descriptor may only name files beside itself: never open (or write) anything else.
    TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription extent file name \"%hs\" does not name a file in the descriptor's folder.\n",
              name);
    m_BadExtentName = true;
    return false;
  }
  *path = DescriptorFolder() + DescriptorTextToUtf16(name);
  return true;
}

NTSTATUS VMDKVirtualDisk::TryParent(const std::u16string& path, bool* cidMismatch, NTSTATUS* openStatus) {
  VMDKVirtualDisk* parent = new VMDKVirtualDisk(path.c_str());
  parent->m_Child = this;
  parent->m_Depth = m_Depth + 1;
  const NTSTATUS status = OpenParentImage(parent);
  parent->m_Child = nullptr;
  if (status < 0) {
    *openStatus = status;
    parent->Release();
    return status;
  }
  if (parent->m_CID != m_ParentCID) {
    *cidMismatch = true;
    parent->Release();
    return STATUS_INVALID_OWNER;
  }
  m_Parent = parent;  // held before anything else can fail
  SetParentFileName(path.c_str());
  return STATUS_SUCCESS;
}

NTSTATUS VMDKVirtualDisk::OpenParent(const std::vector<char>& buffer) {
  const char* line = FindDescriptorLine(buffer.data(), buffer.size(), "parentFileNameHint=");
  if (line == nullptr) return STATUS_SUCCESS;
  TRACE_DETAIL(u"parent line = %hs.\n", line);
  std::string copy(line);
  const size_t length = copy.size();
  SplitSegments(copy.data());
  const std::vector<const char*> segments = LineSegments(copy.data(), length);
  const std::string hint = segments.size() >= 2 ? segments[1] : "";
  if (m_Depth + 1 > kMaxParentDepth) {
    TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile parent chain is deeper than %d disks.\n",
              static_cast<int32_t>(kMaxParentDepth));
    return STATUS_INVALID_OWNER;
  }
  // Where to look: a relative hint beside this descriptor (it may climb); an absolute one as
  // given and then by its bare name beside this descriptor. The CID check decides.
  std::u16string h = DescriptorTextToUtf16(hint.c_str());
  for (char16_t& c : h) {
    if (c == u'/') c = u'\\';
  }
  const std::u16string folder = DescriptorFolder();
  const size_t lastSeparator = h.rfind(u'\\');
  const std::u16string bare = lastSeparator == std::u16string::npos ? h : h.substr(lastSeparator + 1);
  const bool driveAbsolute = h.size() >= 3 && h[1] == u':' && h[2] == u'\\' &&
                             ((h[0] >= u'A' && h[0] <= u'Z') || (h[0] >= u'a' && h[0] <= u'z'));
  std::u16string candidates[2];
  int candidateCount = 0;
  if (driveAbsolute) {
    candidates[candidateCount++] = u"\\??\\" + h;
  } else if (!hint.empty() && hint[0] == '/') {
    candidates[candidateCount++] = u"\\??\\" + PlatformPosixToWindows(hint);
  } else if (!h.empty() && h[0] != u'\\') {
    candidates[candidateCount++] = folder + h;
  }
  if ((driveAbsolute || (!h.empty() && h[0] == u'\\')) && !bare.empty() && bare != u"." && bare != u"..") {
    candidates[candidateCount++] = folder + bare;
  }
  bool cidMismatch = false;
  NTSTATUS openStatus = STATUS_OBJECT_NAME_INVALID;
  for (int i = 0; i < candidateCount; ++i) {
    const std::u16string wanted = ComparablePath(candidates[i].c_str());
    for (VMDKVirtualDisk* disk = this; disk != nullptr; disk = disk->m_Child) {
      if (ComparablePath(disk->m_FileName.c_str()) == wanted) {
        TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile parent %s is already part of this chain.\n",
                  candidates[i].c_str());
        return STATUS_INVALID_OWNER;
      }
    }
    if (TryParent(candidates[i], &cidMismatch, &openStatus) >= 0) return STATUS_SUCCESS;
  }
  if (cidMismatch) {
    TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription parent creation failed because CIDs don't match.\n");
  } else {
    TRACE_ERR(u"VMDKVirtualDisk::ParseExtentDescription parent creation failed with %08lx.\n",
              static_cast<uint32_t>(openStatus));
  }
  return STATUS_INVALID_OWNER;
}

NTSTATUS VMDKVirtualDisk::ReadGeometry(const std::vector<char>& buffer) {
  if (m_Parent != nullptr) {
    m_SectorsPerTrack = m_Parent->m_SectorsPerTrack;
    m_TracksPerCylinder = m_Parent->m_TracksPerCylinder;
    m_Cylinders = m_Parent->m_Cylinders;
  } else {
    const char* base = buffer.data();
    const size_t size = buffer.size();
    if (const char* line = FindDescriptorLine(base, size, "ddb.geometry.sectors")) {
      TRACE_DETAIL(u"sectors line = %hs.\n", line);
      m_SectorsPerTrack = static_cast<uint32_t>(ValueAt(line, 24));
      TRACE_DETAIL(u"m_SectorsPerTrack = %d.\n", static_cast<int32_t>(m_SectorsPerTrack));
    }
    if (const char* line = FindDescriptorLine(base, size, "ddb.geometry.heads")) {
      TRACE_DETAIL(u"heads line = %hs.\n", line);
      m_TracksPerCylinder = static_cast<uint32_t>(ValueAt(line, 22));
      TRACE_DETAIL(u"m_TracksPerCylinder = %d.\n", static_cast<int32_t>(m_TracksPerCylinder));
    }
    if (const char* line = FindDescriptorLine(base, size, "ddb.geometry.cylinders")) {
      TRACE_DETAIL(u"cylinders line = %hs.\n", line);
      m_Cylinders = static_cast<uint64_t>(static_cast<int64_t>(ValueAt(line, 26)));
      TRACE_DETAIL(u"m_Cylinders = %I64d.\n", m_Cylinders);
    }
  }
  if (m_Cylinders == 0 && m_SectorsPerTrack != 0 && m_TracksPerCylinder != 0) {
    // qemu-img writes 0 cylinders for disks under one cylinder: count them from the size.
    const uint64_t perCylinder = uint64_t{m_SectorsPerTrack} * m_TracksPerCylinder;
    m_Cylinders = m_SectorCount / perCylinder != 0 ? m_SectorCount / perCylinder : 1;
    TRACE_DETAIL(u"m_Cylinders = %I64d (from the size).\n", m_Cylinders);
  }
  if (m_SectorsPerTrack == 0 || m_TracksPerCylinder == 0 || m_Cylinders == 0) {
    TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile failed to read geometry\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  return STATUS_SUCCESS;
}

NTSTATUS VMDKVirtualDisk::ProcessDescriptorFile() {
  std::vector<char> buffer;
  {
    NtHandle file;
    NTSTATUS status = ZwCreateFile(file.put(), kImageAccessReadOnly, m_FileName.c_str(), kImageAttributes,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    if (status < 0) {
      TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile open for R/O failed %08lx.\n", static_cast<uint32_t>(status));
      return status;
    }
    status = GetDescriptorData(file.get(), &buffer);
    file.Close();  // before a monolithic extent opens the same file
    if (status < 0) {
      TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile GetDescriptorData  failed %08lx.\n",
                static_cast<uint32_t>(status));
      return status;
    }
  }
  const char* base = buffer.data();
  const size_t size = buffer.size();
  const bool signature = FindDescriptorLine(base, size, "# Disk DescriptorFile") != nullptr;
  if (!signature) TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile didn't find signature.\n");
  // Versions 1 to 3 share the layout read here (ESXi writes 3 when changed-block tracking is on).
  const bool version = FindDescriptorLine(base, size, "version=1") != nullptr ||
                       FindDescriptorLine(base, size, "version=2") != nullptr ||
                       FindDescriptorLine(base, size, "version=3") != nullptr;
  if (!version) TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile didn't find correct version.\n");
  if (!signature || !version) return STATUS_INVALID_IMAGE_FORMAT;
  if (IsStreamOptimized(FindDescriptorLine(base, size, "createType"))) {
    // Named before any extent is opened, whatever file name its extent line gives.
    TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile stream-optimized VMDK is not supported yet\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }

  NTSTATUS status = ReadCID(buffer, "cid=", &m_CID);
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile failed to read CID %08lx.\n", static_cast<uint32_t>(status));
    return status;
  }
  status = ReadCID(buffer, "parentcid=", &m_ParentCID);
  if (status < 0) {
    TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile failed to read parent CID %08lx.\n",
              static_cast<uint32_t>(status));
    return status;
  }
  TRACE_DETAIL(u"CID = %08lx.  ParentCID=%08lx\n", m_CID, m_ParentCID);

  const char* line = FindDescriptorLine(base, size, "# Extent description");
  line = NextSegment(line, base, size);
  if (line == nullptr) {
    TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile can't find disk data base\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  for (; line != nullptr; line = NextSegment(line, base, size)) {
    if (IsDataBaseHeader(line) || DescriptorPrefixEquals(line, "ddb.")) break;
    TRACE_DETAIL(u"extent line = %hs.\n", line);
    uint64_t count = 0;
    if (ParseExtentDescription(line, &count)) m_SectorCount += count;
    if (m_BadExtentName) return STATUS_INVALID_IMAGE_FORMAT;
  }
  if (!m_Extents.IsValid()) {
    TRACE_ERR(u"VMDKVirtualDisk::ProcessDescriptorFile an extent is bad\n");
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  status = OpenParent(buffer);
  if (status >= 0) status = ReadGeometry(buffer);
  if (status < 0) {
    ReleaseParent();
    SetParentFileName(nullptr);
  }
  return status;
}
