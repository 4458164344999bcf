// Flushes: a growing write puts each step on the disk before the step that makes it visible, a
// failed flush stops the write before that step, and a failed final flush is reported.
#include <gtest/gtest.h>

#include <algorithm>
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

// Each table write of a growing write (the VHD table sector after the block's data and bitmap;
// the VMDK primary table after the grains, the redundant one after the primary) comes straight
// after a flush; a failing flush ends the write before any table changes.
struct OrderCase {
  const char* name;
  ImageKind (*make)(const vmtest::TempDir&);
  uint64_t tableFrom, tableTo;
  uint32_t tableBytes, tableWrites, flushes;  // flushes: two per block or table, one at close
  const char* format;
};

class FlushOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(FlushOrder, TablesFollowAFlush) {
  const OrderCase& c = GetParam();
  vmtest::TempDir dir;
  const ImageKind kind = c.make(dir);
  Recorder r;
  std::string path;
  ASSERT_EQ(GrowingWrite(dir, kind, &r, &path), 0);
  const std::vector<size_t> tables = WritesIn(r.ops, c.tableFrom, c.tableTo, c.tableBytes);
  ASSERT_EQ(tables.size(), c.tableWrites);
  for (size_t i : tables) EXPECT_TRUE(i >= 2 && r.ops[i - 1].op == "flush" && r.ops[i - 2].op == "write") << i;
  EXPECT_EQ(std::count_if(r.ops.begin(), r.ops.end(), [](const Op& op) { return op.op == "flush"; }), c.flushes);
  Recorder failing;
  failing.failFlush = true;
  EXPECT_EQ(GrowingWrite(dir, kind, &failing, &path), kInjected);
  EXPECT_TRUE(WritesIn(failing.ops, c.tableFrom, c.tableTo, c.tableBytes).empty());
  EXPECT_EQ(vmtest::QemuRaw(path, c.format), vmtest::QemuRaw(kind.folder + "/" + kind.image, c.format));
}

INSTANTIATE_TEST_SUITE_P(Images, FlushOrder,
                         testing::Values(OrderCase{"VhdDynamic", MakeVhdDynamic, 1536, 2048, 512, 2, 5, "vpc"},
                                         OrderCase{"VmdkSparse", MakeVmdkSparse, 0, UINT64_MAX, 2048, 4, 5, "vmdk"}),
                         [](const testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

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
