// MBR and extended-chain discovery on raw disks written by sfdisk, cross-checked with sfdisk --json.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/endian.h"
#include "raw_test_disk.h"

using namespace vmtest;

namespace {

// The rows discovery must give, from sfdisk's own reading: primaries in table order, an extended
// entry replaced in place by its logical drives.
std::vector<Row> SfdiskRows(const std::string& path) {
  const auto table = nlohmann::json::parse(Sh("sfdisk --json " + Quote(path)))["partitiontable"];
  uint8_t uid[16] = {};
  StoreLE32(uid, std::stoul(table["id"].get<std::string>(), nullptr, 16));
  std::vector<Row> primaries, logicals;
  size_t extended = 0;  // where the logical drives go
  for (const auto& p : table["partitions"]) {
    const std::string node = p["node"], type = p["type"];
    if (type == "5" || type == "f") {
      extended = primaries.size();
      continue;
    }
    StoreLE64(uid + 4, p["start"].get<uint64_t>() * 512);
    const bool logical = std::stoi(node.substr(node.find_last_not_of("0123456789") + 1)) > 4;
    (logical ? logicals : primaries)
        .push_back(Row{static_cast<uint8_t>(std::stoul(type, nullptr, 16)), p["start"].get<uint32_t>(),
                       p["size"].get<uint32_t>(), Hex(uid, 16)});
  }
  primaries.insert(primaries.begin() + extended, logicals.begin(), logicals.end());
  return primaries;
}

const char kExtendedScript[] =
    "label: dos\nlabel-id: 0xa1b2c3d4\n"
    "d1 : start=2048,size=2048,type=7\n"
    "d2 : start=4096,size=20480,type=f\n"
    "d3 : start=26624,size=1024,type=83\n"
    "d5 : start=6144,size=2048,type=7\n"
    "d6 : start=10240,size=4096,type=42\n"
    "d7 : start=16384,size=2048,type=83\n";

std::string ExtendedScript(const std::string& name) {
  std::string s = kExtendedScript;
  for (size_t at; (at = s.find("\nd")) != std::string::npos;) s.replace(at, 2, "\n" + name);
  return s;
}

}  // namespace

TEST(MbrDiscovery, PrimariesAndExtendedChainsMatchSfdisk) {
  TempDir dir;
  struct Case {
    std::string script;
    Row first;                             // the first row, with the disk id and byte offset as its id
    std::vector<std::string> detailLines;  // consecutive lines on the detail channel
  } cases[] = {
      {"label: dos\nlabel-id: 0x12345678\nstart=2048,size=4096,type=7\nstart=8192,size=2048,type=83\n"
       "start=12288,size=1000,type=ee\n",  // a protective entry is an ordinary row
       {0x07, 2048, 4096, "78563412" "0000100000000000" "00000000"},
       {"Partition 2 ", "   active       =  0 ", "   ID           =  ee ", "   start sector =  3000 ",
        "   sector count =  3e8 ", "   end sector   =  33e7 "}},
      // The extended entry is replaced in place by its logical drives; a logical 0x42 entry is an
      // ordinary row, no LDM lookup.
      {ExtendedScript(dir.file("e.raw")), {0x07, 2048, 2048, "d4c3b2a1" "0000100000000000" "00000000"},
       {"Extended MBR @sector 4096"}}};
  for (const Case& c : cases) {
    const std::string path = SfdiskDisk(dir.file("e.raw"), 20 << 20, c.script);
    ClearTrace();
    auto disk = OpenRaw(path);
    const auto rows = Rows(disk.p);
    EXPECT_EQ(rows, SfdiskRows(path));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], c.first);
    const auto details = RecentTrace("VMParseDetails");
    EXPECT_NE(std::search(details.begin(), details.end(), c.detailLines.begin(), c.detailLines.end()), details.end())
        << c.detailLines[0];
    EXPECT_FALSE(TraceContains("VMParseErrors", "ProcessLDMDisk"));
  }
}

TEST(MbrDiscovery, BrokenTablesLoseOnlyTheirOwnRows) {
  TempDir dir;
  const std::string path = SfdiskDisk(dir.file("e.raw"), 20 << 20, ExtendedScript(dir.file("e.raw")));
  const std::vector<Row> good = SfdiskRows(path);
  ASSERT_EQ(good.size(), 5u);
  // Offset and bytes written there, the rows of the good disk that stay, the one error line.
  const std::tuple<uint64_t, std::vector<uint8_t>, std::vector<size_t>, std::string> cases[] = {
      // A link entry pointing past the disk: the other sector-0 entries stay.
      {446 + 16 + 8, {0xFF, 0xFF, 0xFF, 0x7F}, {0, 4},
       "VirtualDisk::ProcessNormalMBR read of extended MBR at sector 2147483647 failed c000000d"},
      {510, {0}, {}, "VirtualDisk::ProcessNormalMBR signature is incorrect"},
      // The third record (at 14336, 2048 sectors before its drive) links back to the first: each
      // logical drive appears once.
      {14336 * 512 + 446 + 16, {0, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, {0, 1, 2, 3, 4},
       "VirtualDisk::ProcessExtendedMBR chain links back to sector 4096, not followed"}};
  for (const auto& [offset, bytes, kept, error] : cases) {
    SCOPED_TRACE(error);
    const std::string bad = CopyFile(path, dir.file("bad.raw"));
    PokeBytes(bad, offset, bytes);
    ClearTrace();
    auto disk = OpenRaw(bad);
    std::vector<Row> expected;
    for (size_t i : kept) expected.push_back(good[i]);
    EXPECT_EQ(Rows(disk.p), expected);
    EXPECT_EQ(RecentTrace("VMParseErrors"), std::vector<std::string>{error});
  }
}

// Chains written record by record: `records` extended records from sector 1, each linking to the
// next and, when withLogicals, holding a one-sector logical drive.
static std::string WriteChain(const TempDir& dir, uint32_t records, bool withLogicals) {
  std::vector<uint8_t> disk(size_t{2 * records + 8} * 512);
  auto entry = [](uint8_t* sector, int slot, uint8_t type, uint32_t first, uint32_t count) {
    sector[446 + 16 * slot + 4] = type;
    PutLE32(sector + 446 + 16 * slot + 8, first);
    PutLE32(sector + 446 + 16 * slot + 12, count);
    PutLE16(sector + 510, 0xAA55);
  };
  entry(disk.data(), 0, 0x0F, 1, 2 * records + 2);
  for (uint32_t k = 0; k < records; ++k) {
    uint8_t* ebr = &disk[size_t{1 + 2 * k} * 512];
    if (withLogicals) entry(ebr, 0, 0x07, 1, 1);
    entry(ebr, 1, 0x05, 2 * (k + 1), 2);  // relative to the extended partition
  }
  const std::string path = dir.file("chain" + std::to_string(records) + (withLogicals ? "l" : "") + ".raw");
  WriteAll(path, disk);
  return path;
}

TEST(MbrDiscovery, LongChainsEndAtTheRecordBoundOrAFullTable) {
  TempDir dir;
  const std::tuple<uint32_t, bool, size_t, const char*> cases[] = {  // records, with drives, rows, error
      {300, false, 0, "more than 256 extended records, chain at sector 513 not followed"},
      {260, true, 252, "VirtualDisk::ProcessExtendedMBR partition table is full"},
      // 253 records with drives: the table is full at the 253rd drive.
      {253, true, 252, "VirtualDisk::ProcessExtendedMBR partition table is full"}};
  for (const auto& [records, withLogicals, count, error] : cases) {
    SCOPED_TRACE(records);
    ClearTrace();
    auto disk = OpenRaw(WriteChain(dir, records, withLogicals));
    const auto rows = Rows(disk.p);
    ASSERT_EQ(rows.size(), count);
    if (!rows.empty()) {
      EXPECT_EQ(rows.back().first, 2u * (count - 1) + 2);
    }
    EXPECT_LE(disk->reads, 258u);
    EXPECT_TRUE(TraceContains("VMParseErrors", error));
  }
}
