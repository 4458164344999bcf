// Flushes: a growing write puts each step on the disk before the step that makes it visible, a
// failed flush stops the write before that step, and a failed final flush is reported.
#include <gtest/gtest.h>

#include <cstring>

#include "disk/open_virtual_disk.h"
#include "faults/fault_harness.h"
#include "support/image_support.h"
#include "support/trace_capture.h"
#include "vhd/vhd_file_set.h"

namespace faulttest {
namespace {

constexpr NTSTATUS kInjected = static_cast<NTSTATUS>(0xC0000185);

struct Op {
  std::string op;
  uint64_t offset;
  uint32_t length;
};
struct Recorder {
  std::string prefix;
  std::vector<Op> ops;
  bool failFlush = false;
};

NTSTATUS Record(const char* op, const char* path, uint64_t offset, uint32_t length, void* context) {
  auto* r = static_cast<Recorder*>(context);
  if (strncmp(path, r->prefix.c_str(), r->prefix.size()) != 0) return 0;
  r->ops.push_back({op, offset, length});
  return r->failFlush && strcmp(op, "flush") == 0 ? kInjected : 0;
}

// The image of `kind` copied to dir/work.<ext>, and the status of its growing write.
NTSTATUS GrowingWrite(const vmtest::TempDir& dir, const ImageKind& kind, Recorder* recorder, std::string* path) {
  *path = vmtest::CopyFile(kind.folder + "/" + kind.image, dir.file("work" + kind.image.substr(1)));
  vmtest::DiskRef disk;
  EXPECT_EQ(vmtest::OpenImage(disk, *path, false), 0);
  recorder->prefix = dir.file("work");
  PlatformSetFileFaultHook(Record, recorder);
  const NTSTATUS status = disk->Write(kind.sector, static_cast<uint32_t>(kind.data.size() / 512), kind.data.data());
  disk.reset();
  PlatformSetFileFaultHook(nullptr, nullptr);
  return status;
}

// Index of every op that writes `length` bytes at an offset in [from, to).
std::vector<size_t> WritesIn(const std::vector<Op>& ops, uint64_t from, uint64_t to, uint32_t length) {
  std::vector<size_t> at;
  for (size_t i = 0; i < ops.size(); ++i)
    if (ops[i].op == "write" && ops[i].offset >= from && ops[i].offset < to && ops[i].length == length) at.push_back(i);
  return at;
}

}  // namespace

// Dynamic VHD: data, flush, bitmap, flush, table sector for each new block.
TEST(Flush, VhdBlockDataBeforeBitmapBeforeTable) {
  vmtest::TempDir dir;
  const ImageKind kind = MakeVhdDynamic(dir);
  Recorder r;
  std::string path;
  ASSERT_EQ(GrowingWrite(dir, kind, &r, &path), 0);
  const std::vector<size_t> table = WritesIn(r.ops, 1536, 1536 + 512, 512);
  ASSERT_EQ(table.size(), 2u);  // two new blocks
  for (size_t i : table) {
    ASSERT_GE(i, 4u);
    EXPECT_EQ(r.ops[i - 1].op, "flush");
    EXPECT_EQ(r.ops[i - 2].op, "write");  // the bitmap
    EXPECT_EQ(r.ops[i - 3].op, "flush");
    EXPECT_EQ(r.ops[i - 4].op, "write");  // the data
    EXPECT_LT(r.ops[i - 2].offset, r.ops[i - 4].offset);  // the bitmap leads its block
  }
  // A failed flush stops before the table: the image reads as before.
  Recorder failing;
  failing.failFlush = true;
  vmtest::ClearTrace();
  EXPECT_EQ(GrowingWrite(dir, kind, &failing, &path), kInjected);
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "VHDVirtualDisk::WriteDynamic flush of the block's data failed c0000185."));
  EXPECT_TRUE(WritesIn(failing.ops, 1536, 1536 + 512, 512).empty());
  EXPECT_EQ(vmtest::QemuRaw(path, "vpc"), vmtest::QemuRaw(kind.folder + "/" + kind.image, "vpc"));
}

// Hosted sparse VMDK: grains, flush, primary table, flush, redundant table.
TEST(Flush, VmdkGrainBeforePrimaryBeforeRedundantTable) {
  vmtest::TempDir dir;
  const ImageKind kind = MakeVmdkSparse(dir);
  Recorder r;
  std::string path;
  ASSERT_EQ(GrowingWrite(dir, kind, &r, &path), 0);
  const std::vector<size_t> tables = WritesIn(r.ops, 0, UINT64_MAX, 2048);
  ASSERT_EQ(tables.size(), 4u);  // tables 0 and 1, two copies each
  for (size_t i : tables) {
    ASSERT_GE(i, 2u);
    EXPECT_EQ(r.ops[i - 1].op, "flush") << i;
  }
  EXPECT_EQ(r.ops[tables[0] - 2].length, 65536u);  // the grain of table 0
  Recorder failing;
  failing.failFlush = true;
  EXPECT_EQ(GrowingWrite(dir, kind, &failing, &path), kInjected);
  EXPECT_TRUE(WritesIn(failing.ops, 0, UINT64_MAX, 2048).empty());
  EXPECT_EQ(vmtest::QemuRaw(path, "vmdk"), vmtest::QemuRaw(kind.folder + "/" + kind.image, "vmdk"));
}

// The final flush when files are closed: the set's Close reports it, and a disk released with
// a failing flush traces it.
TEST(Flush, FailedFinalFlushIsReported) {
  vmtest::TempDir dir;
  const ImageKind kind = MakeVhdDynamic(dir);
  const std::string path = vmtest::CopyFile(kind.folder + "/" + kind.image, dir.file("work.vhd"));
  Recorder r;
  r.prefix = path;
  r.failFlush = true;
  VHDFileSet set(vmtest::NtPath(path).c_str());
  ASSERT_EQ(set.Open(0), 0);
  uint8_t sector[512] = {};
  ASSERT_EQ(set.Read(0, 1, sector), 0);
  ASSERT_EQ(set.Write(0, 1, sector), 0);
  PlatformSetFileFaultHook(Record, &r);
  EXPECT_EQ(set.Close(), kInjected);
  EXPECT_EQ(set.Close(), 0);  // the handles are gone all the same
  vmtest::DiskRef disk;
  ASSERT_EQ(vmtest::OpenImage(disk, path, false), 0);
  ASSERT_EQ(disk->Write(0, 1, sector), 0);
  vmtest::ClearTrace();
  disk.reset();
  PlatformSetFileFaultHook(nullptr, nullptr);
  EXPECT_TRUE(vmtest::TraceContains("VMParseErrors", "final flush of"));
}

}  // namespace faulttest
