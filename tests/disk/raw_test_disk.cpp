#include "raw_test_disk.h"

#include <gtest/gtest.h>

#include <new>
#include <nlohmann/json.hpp>
#include <ostream>

#include "disk/gpt_table.h"
#include "disk/gpt_types.h"
#include "platform/wstr.h"

namespace vmtest {

RawTestDisk::RawTestDisk(const std::u16string& ntPath, RawGeometry geometry)
    : VirtualDisk(ntPath.c_str()), m_Geometry(geometry) {
  m_BytesPerSector = 512;
  m_MediaType = MEDIA_TYPE_FIXED;
}

NTSTATUS RawTestDisk::Open(uint8_t readOnly) {
  if (m_Opened) return STATUS_SUCCESS;
  NTSTATUS status = OpenImageFile(m_FileName.c_str(), readOnly != 0, m_File.put());
  if (status < 0) return status;
  m_ReadOnly = readOnly ? 1 : 0;
  uint64_t size = 0;
  status = ZwQueryFileSize(m_File.get(), &size);
  if (status < 0) return status;
  m_FileSectors = size / 512;
  m_SectorCount = m_Geometry.sectorCount ? m_Geometry.sectorCount : m_FileSectors;
  m_TracksPerCylinder = m_Geometry.heads;
  m_SectorsPerTrack = m_Geometry.sectorsPerTrack;
  const uint64_t perCylinder = uint64_t{m_Geometry.heads} * m_Geometry.sectorsPerTrack;
  m_Cylinders = m_Geometry.cylinders ? m_Geometry.cylinders : (perCylinder ? m_SectorCount / perCylinder : 0);
  ProcessMBR();
  m_Opened = 1;
  return STATUS_SUCCESS;
}

NTSTATUS RawTestDisk::Read(uint64_t first, uint32_t count, void* buffer) {
  ++reads;
  if (first > m_SectorCount || count > m_SectorCount - first) return STATUS_INVALID_PARAMETER;
  if (first + count > m_FileSectors) return STATUS_END_OF_FILE;
  return ReadImageBytes(m_File.get(), first * 512, uint64_t{count} * 512, buffer);
}

NTSTATUS RawTestDisk::Write(uint64_t first, uint32_t count, const void* buffer) {
  if (m_ReadOnly) return STATUS_ACCESS_DENIED;
  if (first > m_SectorCount || count > m_SectorCount - first) return STATUS_INVALID_PARAMETER;
  return WriteImageBytes(m_File.get(), first * 512, uint64_t{count} * 512, buffer);
}

Ref<RawTestDisk> OpenRaw(const std::string& posix, RawGeometry geometry, uint8_t readOnly) {
  Ref<RawTestDisk> ref(new (std::nothrow) RawTestDisk(NtPath(posix), geometry));
  EXPECT_NE(ref.p, nullptr);
  EXPECT_EQ(ref.p->Open(readOnly), STATUS_SUCCESS) << posix;
  return ref;
}

std::vector<Row> Rows(VirtualDisk* disk) {
  std::vector<Row> rows;
  for (uint8_t i = 0; i < disk->GetPartitionCount(); ++i) {
    const PartitionEntry& e = disk->Partitions()[i];
    rows.push_back(Row{e.type, e.firstSector, e.sectorCount, Hex(e.uniqueId, 16)});
  }
  return rows;
}

std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << "{type " << std::hex << int(r.type) << std::dec << ", first " << r.first << ", count "
            << r.count << ", id " << r.id << "}";
}

void ExpectSfdiskGptRows(VirtualDisk* disk, const std::string& raw) {
  const auto table = nlohmann::json::parse(Sh("sfdisk --json " + Quote(raw)))["partitiontable"];
  ASSERT_EQ(disk->GetPartitionCount(), table["partitions"].size());
  EXPECT_EQ(DiskGetPartitionScheme(disk), vmpeek::PartitionSchemeGpt);
  for (uint8_t i = 0; i < disk->GetPartitionCount(); ++i) {
    const auto& p = table["partitions"][i];
    const PartitionEntry& row = disk->Partitions()[i];
    uint8_t type[16];
    WCHAR name[37];  // up to 36 units and a terminator
    ASSERT_EQ(DiskGetGptEntry(disk, i, type, name), 0);
    const GptTypeInfo* known = FindGptType(type);
    EXPECT_EQ(Row({row.type, row.firstSector, row.sectorCount, GuidToText(row.uniqueId)}),
              Row({known ? known->mbrType : uint8_t{0}, p["start"].get<uint32_t>(), p["size"].get<uint32_t>(),
                  p["uuid"].get<std::string>()}));
    EXPECT_EQ(GuidToText(type), p["type"]);
    EXPECT_EQ(Utf16ToUtf8(name), p.value("name", ""));
  }
}

}  // namespace vmtest
