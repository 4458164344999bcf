// GPT discovery on disks made by sgdisk and sfdisk (as VMDK and VHD from qemu-img) and on a disk
// written by Windows, compared with sfdisk --json; damaged headers fall back to the backup.
#include <gtest/gtest.h>

#include "disk/gpt_table.h"
#include "platform/crc32.h"
#include "platform/endian.h"
#include "raw_test_disk.h"

using namespace vmtest;

namespace {

const char kSgdisk[] = "sgdisk -n 1:2048:+1M -t 1:ef00 -c 1:'EFI system partition' -n 2:0:+16M -t 2:0c01 "
                       "-n 3:0:+20M -t 3:0700 -c 3:'Données' -n 4:0:0 -t 4:2700 >/dev/null ";
const char kSfdisk[] = "printf 'label: gpt\\nsize=4096, type=linux, name=\"root\"\\nsize=2048, type=swap\\n"
                       "size=1024, type=BC13C2FF-59E6-4262-A352-B275FD6F7172, name=\"a name of thirty-six UTF-16 units...\"\\n'"
                       " | sfdisk -q ";

// Recomputes the entry array and header CRCs of the header at `lba`.
void FixCrcs(const std::string& path, uint64_t lba) {
  std::vector<uint8_t> h = ReadBytes(path, lba * 512, 512);
  const auto array = ReadBytes(path, LoadLE64(&h[72]) * 512, std::min<size_t>(size_t{LoadLE32(&h[80])} * LoadLE32(&h[84]), 1 << 20));
  StoreLE32(&h[88], Crc32(array.data(), array.size()));
  StoreLE32(&h[16], 0);
  StoreLE32(&h[16], Crc32(h.data(), LoadLE32(&h[12])));
  PokeBytes(path, lba * 512, h);
}

}  // namespace

TEST(GptDiscovery, RowsMatchSfdiskOnToolMadeAndWindowsDisks) {
  TempDir dir;
  const std::string real = std::string(VMPEEK_SOURCE_DIR) + "/tests/data/images/dynamic.vhd.gz";
  Sh("gzip -dc " + Quote(real) + " >" + Quote(dir.file("win.vhd")));
  // maker: a command ending with the raw file's name; null: the Windows disk.
  struct Case { const char *maker, *format; } cases[] = {{kSgdisk, "vmdk"}, {kSgdisk, "vpc"}, {kSfdisk, "vmdk"}, {kSfdisk, "vpc"}, {nullptr, "vpc"}};
  for (const Case& c : cases) {
    const std::string raw = dir.file("disk.raw");
    const std::string image = dir.file(std::string(c.maker ? "disk." : "win.") + (c.format[1] == 'p' ? "vhd" : "vmdk"));
    SCOPED_TRACE(std::string(c.maker ? c.maker : "windows") + " " + c.format);
    if (c.maker) {
      Sh("rm -f " + Quote(raw) + " && truncate -s 64M " + Quote(raw) + " && " + c.maker + Quote(raw));
      Sh("qemu-img convert -f raw -O " + std::string(c.format) + " " + Quote(raw) + " " + Quote(image));
    } else {
      QemuToRaw(image, raw, "vpc");
    }
    ClearTrace();
    DiskRef disk;
    ASSERT_EQ(OpenImage(disk, image), 0);
    ExpectSfdiskGptRows(static_cast<VirtualDisk*>(disk.p), raw);
    EXPECT_TRUE(TraceContains("VMParseDetails", "VirtualDisk::ProcessGPT using the primary header at sector 1"));
    EXPECT_FALSE(TraceContains("VMParseErrors", "ProcessGPT"));
    if (c.maker) continue;
    // The identity Windows keeps after "DMIO:ID:" for the first basic-data partition.
    EXPECT_EQ(Hex(static_cast<VirtualDisk*>(disk.p)->Partitions()[1].uniqueId, 16), "ba52afc1b007a341b62eeb4926bc1677");
    uint8_t type[16];
    WCHAR name[37];
    EXPECT_EQ(DiskGetGptEntry(static_cast<VirtualDisk*>(disk.p), 4, type, name), STATUS_INVALID_PARAMETER);
  }
}

TEST(GptDiscovery, BadPrimaryHeaderFallsBackToBackup) {
  TempDir dir;
  const std::string good = dir.file("good.raw");
  Sh("truncate -s 64M " + Quote(good) + " && " + kSgdisk + Quote(good));
  // sgdisk -v reports each damage in one of these words.
  const char* const kComplaints[] = {"ERROR", "Problem", "problems!", "corrupt"};
  // Offsets into the primary header sector (>= 512: into its entry array); fixCrc recomputes the
  // CRCs so that the field's own check is reached.
  struct Poke { uint32_t offset; std::vector<uint8_t> bytes; bool fixCrc; const char* reason; } pokes[] = {
      {7, {'X'}, false, "signature is not \"EFI PART\""},
      {16, {0}, false, "header CRC32"},
      {8 + 2, {2}, true, "revision 00020000 is not 1.x"},
      {24, {2}, true, "its own sector field is 2"},
      {48, {0xFF}, true, "usable sectors 34..131071 are not inside the disk of 131072 sectors"},
      {84, {129}, true, "entry size 129"},
      {72, {0, 8}, true, "entry array at sector 2048 (32 sectors) overlaps the usable sectors"},
      {512 + 56, {'Y'}, false, "entry array CRC32"},
  };
  for (const Poke& p : pokes) {
    SCOPED_TRACE(p.reason);
    const std::string bad = CopyFile(good, dir.file("bad.raw"));
    PokeBytes(bad, 512 + p.offset, p.bytes);
    if (p.fixCrc) FixCrcs(bad, 1);
    const std::string sgdisk = Sh("sgdisk -v " + Quote(bad) + " 2>&1 || true");
    EXPECT_TRUE(std::any_of(std::begin(kComplaints), std::end(kComplaints),
                            [&](const char* word) { return sgdisk.find(word) != std::string::npos; })) << sgdisk;
    ClearTrace();
    auto disk = OpenRaw(bad);
    ExpectSfdiskGptRows(disk.p, good);
    EXPECT_TRUE(TraceContains("VMParseErrors", p.reason));
    EXPECT_TRUE(TraceContains("VMParseErrors", "VirtualDisk::ProcessGPT using the backup header at sector 131071"));
  }
  // Both headers bad: the protective MBR entry is listed, as on any MBR disk.
  const std::string bad = CopyFile(good, dir.file("both.raw"));
  PokeBytes(bad, 512, {'X'});
  PokeBytes(bad, (64 << 20) - 512, {'X'});
  ClearTrace();
  auto disk = OpenRaw(bad);
  ASSERT_EQ(disk->GetPartitionCount(), 1);
  EXPECT_EQ(disk->Partitions()[0].type, 0xEE);
  EXPECT_EQ(DiskGetPartitionScheme(disk.p), vmpeek::PartitionSchemeMbr);
  EXPECT_TRUE(TraceContains("VMParseErrors", "VirtualDisk::ProcessGPT no valid GPT header, using the MBR entries"));
}
