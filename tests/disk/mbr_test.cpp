// MBR and extended-chain discovery on raw disks written by sfdisk, cross-checked with sfdisk --json.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/endian.h"
#include "raw_test_disk.h"

using namespace vmtest;

namespace {

std::string MakeDisk(const TempDir& dir, const std::string& name, uint64_t mb, const std::string& script) {
  return SfdiskDisk(dir.file(name), mb << 20, script);
}

// The rows discovery must give, from sfdisk's own reading: primaries in table order, an extended
// entry replaced in place by its logical drives.
std::vector<Row> SfdiskRows(const std::string& path) {
  const auto table = nlohmann::json::parse(Sh("sfdisk --json " + Quote(path)))["partitiontable"];
  const uint32_t id = std::stoul(table["id"].get<std::string>(), nullptr, 16);
  std::vector<nlohmann::json> primaries, logicals;
  for (const auto& p : table["partitions"]) {
    const std::string node = p["node"];
    const int number = std::stoi(node.substr(node.find_last_not_of("0123456789") + 1));
    (number <= 4 ? primaries : logicals).push_back(p);
  }
  std::vector<Row> rows;
  auto add = [&](const nlohmann::json& p) {
    uint8_t uid[16] = {};
    StoreLE32(uid, id);
    StoreLE64(uid + 4, p["start"].get<uint64_t>() * 512);
    rows.push_back(Row{static_cast<uint8_t>(std::stoul(p["type"].get<std::string>(), nullptr, 16)),
                       p["start"].get<uint32_t>(), p["size"].get<uint32_t>(), Hex(uid, 16)});
  };
  for (const auto& p : primaries) {
    const std::string type = p["type"];
    if (type == "5" || type == "f") {
      for (const auto& l : logicals) add(l);
    } else {
      add(p);
    }
  }
  return rows;
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

TEST(MbrDiscovery, PrimariesAndProtectiveEntryMatchSfdisk) {
  TempDir dir;
  const std::string path = MakeDisk(dir, "p.raw", 10,
                                    "label: dos\nlabel-id: 0x12345678\n"
                                    "start=2048,size=4096,type=7\nstart=8192,size=2048,type=83\n"
                                    "start=12288,size=1000,type=ee\n");
  ClearTrace();
  auto disk = OpenRaw(path);
  const auto rows = Rows(disk.p);
  EXPECT_EQ(rows, SfdiskRows(path));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (Row{0x07, 2048, 4096, "78563412" "0000100000000000" "00000000"}));
  EXPECT_EQ(rows[2].type, 0xEE);  // a protective entry is an ordinary row
  EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessNormalMBR DiskId = 12345678"));
  const auto details = RecentTrace("VMParseDetails");
  const std::vector<std::string> dump = {"Partition 2 ",         "   active       =  0 ",
                                         "   ID           =  ee ", "   start sector =  3000 ",
                                         "   sector count =  3e8 ", "   end sector   =  33e7 "};
  EXPECT_NE(std::search(details.begin(), details.end(), dump.begin(), dump.end()), details.end());
}

TEST(MbrDiscovery, ExtendedChainReplacesItsEntryInPlace) {
  TempDir dir;
  const std::string path = MakeDisk(dir, "e.raw", 20, ExtendedScript(dir.file("e.raw")));
  ClearTrace();
  auto disk = OpenRaw(path);
  const auto rows = Rows(disk.p);
  EXPECT_EQ(rows, SfdiskRows(path));
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[1].first, 6144u);
  EXPECT_EQ(rows[2].type, 0x42);  // a logical 0x42 entry is an ordinary row, no LDM lookup
  EXPECT_EQ(rows[4].first, 26624u);
  EXPECT_TRUE(TraceContains("VMParseDetails", "Extended MBR @sector 4096"));
  EXPECT_FALSE(TraceContains("VMParseErrors", "ProcessLDMDisk"));
}

TEST(MbrDiscovery, BrokenTablesLoseOnlyTheirOwnRows) {
  TempDir dir;
  const std::string path = MakeDisk(dir, "e.raw", 20, ExtendedScript(dir.file("e.raw")));
  // A link entry pointing past the disk: the other sector-0 entries stay.
  const std::string far = CopyFile(path, dir.file("far.raw"));
  PokeBytes(far, 446 + 16 + 8, {0xFF, 0xFF, 0xFF, 0x7F});
  ClearTrace();
  {
    auto disk = OpenRaw(far);
    EXPECT_EQ(Rows(disk.p).size(), 2u);
    EXPECT_TRUE(TraceContains("VMParseErrors",
                              "VirtualDisk::ProcessNormalMBR read of extended MBR at sector 2147483647 failed c000000d"));
  }

  // No boot signature: no rows, one error line.
  const std::string nosig = CopyFile(path, dir.file("nosig.raw"));
  PokeBytes(nosig, 510, {0});
  ClearTrace();
  {
    auto disk = OpenRaw(nosig);
    EXPECT_EQ(disk->GetPartitionCount(), 0);
    EXPECT_EQ(RecentTrace("VMParseErrors"),
              std::vector<std::string>{"VirtualDisk::ProcessNormalMBR signature is incorrect"});
  }

  // The last record links back to the first: each logical drive appears once.
  uint64_t last = 4096;
  for (;;) {
    const auto link = ReadBytes(path, last * 512 + 446 + 16, 16);
    if (link[4] == 0) break;
    last = 4096 + LoadLE32(&link[8]);
  }
  ASSERT_EQ(last, 14336u);  // the third record
  const std::string loop = CopyFile(path, dir.file("loop.raw"));
  PokeBytes(loop, last * 512 + 446 + 16, {0, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});
  ClearTrace();
  {
    auto disk = OpenRaw(loop);
    EXPECT_EQ(Rows(disk.p), SfdiskRows(path));
    EXPECT_TRUE(TraceContains("VMParseErrors", "VirtualDisk::ProcessExtendedMBR chain links back to sector 4096"));
  }
}

// Chains written record by record: `records` extended records from sector 1, each linking to the
// next and, when withLogicals, holding a one-sector logical drive.
static std::string WriteChain(const TempDir& dir, uint32_t records, bool withLogicals) {
  std::vector<uint8_t> disk(size_t{2 * records + 8} * 512);
  uint8_t* mbr = disk.data();
  mbr[446 + 4] = 0x0F;
  PutLE32(mbr + 446 + 8, 1);
  PutLE32(mbr + 446 + 12, 2 * records + 2);
  PutLE16(mbr + 510, 0xAA55);
  for (uint32_t k = 0; k < records; ++k) {
    uint8_t* ebr = &disk[size_t{1 + 2 * k} * 512];
    if (withLogicals) {
      ebr[446 + 4] = 0x07;
      PutLE32(ebr + 446 + 8, 1);
      PutLE32(ebr + 446 + 12, 1);
    }
    ebr[446 + 16 + 4] = 0x05;
    PutLE32(ebr + 446 + 16 + 8, 2 * (k + 1));  // relative to the extended partition
    PutLE32(ebr + 446 + 16 + 12, 2);
    PutLE16(ebr + 510, 0xAA55);
  }
  const std::string path = dir.file("chain" + std::to_string(records) + (withLogicals ? "l" : "") + ".raw");
  WriteAll(path, disk);
  return path;
}

TEST(MbrDiscovery, LongChainsEndAtTheRecordBoundOrAFullTable) {
  TempDir dir;
  ClearTrace();
  {
    auto disk = OpenRaw(WriteChain(dir, 300, false));
    EXPECT_EQ(disk->GetPartitionCount(), 0);
    EXPECT_LE(disk->reads, 258u);
    EXPECT_TRUE(TraceContains("VMParseErrors", "more than 256 extended records, chain at sector 513 not followed"));
  }
  ClearTrace();
  {
    auto disk = OpenRaw(WriteChain(dir, 260, true));
    const auto rows = Rows(disk.p);
    ASSERT_EQ(rows.size(), 252u);
    EXPECT_EQ(rows[251].first, 2u * 251 + 2);
    EXPECT_TRUE(TraceContains("VMParseErrors", "VirtualDisk::ProcessExtendedMBR partition table is full"));
  }
  // 256 records with drives fill the table exactly: the 253rd drive is dropped with a trace.
  ClearTrace();
  {
    auto disk = OpenRaw(WriteChain(dir, 253, true));
    EXPECT_EQ(disk->GetPartitionCount(), 252);
  }
}
