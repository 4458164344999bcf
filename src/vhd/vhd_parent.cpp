// VHDVirtualDisk: finding and opening the parent of a differencing image through its locators.
#include <cstring>
#include <memory>
#include <string>

#include "module/parse_trace.h"
#include "platform/endian.h"
#include "platform/wstr.h"
#include "vhd/vhd_format.h"
#include "vhd/vhd_virtual_disk.h"

using namespace vhd;

NTSTATUS VHDVirtualDisk::FindParent() {
  TraceTo(g_VMParseErrors, u"VHDVirtualDisk::FindParent : Looking for W2ku.\n");
  TraceTo(g_VMParseDetails, u"VHDVirtualDisk::FindParent : Looking for W2ku.\n");
  if (NT_SUCCESS(TryLocator(kPlatformW2ku))) return STATUS_SUCCESS;
  TraceTo(g_VMParseErrors, u"VHDVirtualDisk::FindParent : Looking for W2ru.\n");
  TraceTo(g_VMParseDetails, u"VHDVirtualDisk::FindParent : Looking for W2ru.\n");
  return TryLocator(kPlatformW2ru);
}

NTSTATUS VHDVirtualDisk::ReadLocator(const uint8_t* locator, uint32_t platformCode, std::u16string* path) {
  path->clear();
  std::u16string result = u"\\??\\";
  if (platformCode == kPlatformW2ru) {
    // Relative to the folder of this image: its own path up to and including the last '\'.
    const size_t slash = m_FileName.rfind(u'\\');
    if (slash == std::u16string::npos) return STATUS_OBJECT_PATH_NOT_FOUND;
    result = m_FileName.substr(0, slash + 1);
  }
  const uint32_t sectors = (LoadBE32(locator + kLocatorDataLength) + 511ull) / 512;
  const uint64_t firstSector = LoadBE64(locator + kLocatorDataOffset) / kSectorSize;
  const size_t bytes = static_cast<size_t>(sectors) * kSectorSize;
  const auto buffer = std::make_unique<uint8_t[]>(bytes + 2);
  const uint8_t* data = buffer.get();
  NTSTATUS status = m_Files.Read(firstSector, sectors, buffer.get());
  if (!NT_SUCCESS(status)) return status;
  // UTF-16LE text up to its first zero character and no further than the recorded length
  // (writers need not clear the rest of the sector); a leading ".\" names this image's folder.
  const size_t limit = LoadBE32(locator + kLocatorDataLength) / 2;
  size_t units = 0;
  while (units < limit && LoadLE16(data + 2 * units) != 0) ++units;
  size_t skip = 0;
  if (units >= 2 && LoadLE16(data) == u'.' && LoadLE16(data + 2) == u'\\') skip = 2;
  for (size_t i = skip; i < units; ++i) result += static_cast<WCHAR>(LoadLE16(data + 2 * i));
  *path = std::move(result);
  return STATUS_SUCCESS;
}

NTSTATUS VHDVirtualDisk::TryLocator(uint32_t platformCode) {
  const uint8_t* locator = nullptr;
  for (uint32_t i = 0; i < kLocatorCount && !locator; ++i) {
    const uint8_t* entry = m_header + kHeaderLocators + i * kLocatorSize;
    if (LoadBE32(entry + kLocatorCode) == platformCode) locator = entry;
  }
  if (!locator) {
    TRACE_ERR(u"VHDVirtualDisk::FindParent failed to find a locator.\n");
    return STATUS_INVALID_OWNER;
  }
  uint64_t sectors = (LoadBE32(locator + kLocatorDataLength) + 511ull) / 512;
  if (sectors > kLocatorMaxSectors) {
    TRACE_ERR(u"VHDVirtualDisk::FindParent data for locator is too big (%d sectors).\n",
              static_cast<int32_t>(sectors));
    return STATUS_INVALID_OWNER;
  }
  std::u16string path;
  NTSTATUS status = ReadLocator(locator, platformCode, &path);
  if (!NT_SUCCESS(status)) {
    TRACE_ERR(u"VHDVirtualDisk::FindParent failed to read locator from disk status=%08lx.\n",
              static_cast<uint32_t>(status));
    return status;
  }
  TraceTo(g_VMParseErrors, u"VHDVirtualDisk::FindParent trying parent %s.\n", path.c_str());
  TraceTo(g_VMParseDetails, u"VHDVirtualDisk::FindParent trying parent %s.\n", path.c_str());
  SetParentFileName(path.c_str());
  status = OpenParent(path.c_str());
  if (!NT_SUCCESS(status)) {
    if (m_Parent) {
      m_Parent->Release();
      m_Parent = nullptr;
    }
    SetParentFileName(nullptr);
  }
  return status;
}

NTSTATUS VHDVirtualDisk::OpenParent(const WCHAR* path) {
  m_Parent = new VHDVirtualDisk(path);
  m_Parent->m_Child = this;
  m_Parent->m_Depth = m_Depth + 1;
  NTSTATUS status = OpenParentImage(m_Parent);
  m_Parent->m_Child = nullptr;
  if (!NT_SUCCESS(status)) {
    status = STATUS_INVALID_OWNER;
    TRACE_ERR(u"VHDVirtualDisk::FindParent open of parent disk failed %08lx.\n", static_cast<uint32_t>(status));
    return status;
  }
  uint8_t id[16];
  m_Parent->GetUniqueId(id);
  if (memcmp(id, m_header + kHeaderParentUniqueId, 16) != 0) {
    TRACE_ERR(u"VHDVirtualDisk::FindParent GUIDs don't match.\n");
    return STATUS_INVALID_OWNER;
  }
  return STATUS_SUCCESS;
}
