// Several threads at once on one disk of each chain kind: writers that own disjoint sector
// ranges (through the disk and through its partitions, allocating new blocks and grains), readers
// of the untouched areas, and openers that open and release disks of the same chain. The final
// contents, read after everything is released, must match the writers' models.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "disk/open_virtual_disk.h"
#include "support/test_support.h"
#include "support/trace_capture.h"
#include "vhd/vhd_builder.h"

namespace {

using vmtest::Quote;

constexpr uint64_t kDiskBytes = 32ull << 20;
constexpr uint32_t kFirstPartition = 2048;      // partitions from sfdisk: 2048..30719, 30720..end
constexpr uint32_t kSecondPartition = 30720;
constexpr uint32_t kRangeSectors = 6000;        // spans two or three VHD blocks, many grains
constexpr int kWriters = 3;
constexpr auto kRunTime = std::chrono::milliseconds(1500);

void Sh(const std::string& cmd) { ASSERT_EQ(vmtest::Run(cmd + " >/dev/null"), 0) << cmd; }

NTSTATUS Open(const std::string& posix, bool readOnly, vmpeek::VirtualDisk** disk) {
  return MountOpenVirtualDisk(vmtest::WinPath(posix).c_str(), readOnly ? 1 : 0, disk);
}

struct Chain {
  std::string image;                 // opened for writing
  std::vector<std::string> others;   // opened read-only meanwhile (parents, the image itself)
};

std::string RawWithData(const std::string& dir) {
  std::string raw = dir + "/src.raw";
  Sh("truncate -s " + std::to_string(kDiskBytes) + " " + Quote(raw));
  Sh("printf 'label: dos\\nstart=2048, size=28672, type=83\\nstart=30720, type=7\\n' | sfdisk -q " + Quote(raw));
  std::vector<uint8_t> data = vmtest::PatternBytes(512 * 1000, 5);
  FILE* f = fopen(raw.c_str(), "r+b");
  fseek(f, 4096L * 512, SEEK_SET);
  fwrite(data.data(), 1, data.size(), f);
  fseek(f, 40000L * 512, SEEK_SET);
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
  return raw;
}

Chain VhdDynamic(const vmtest::TempDir& dir) {
  std::string raw = RawWithData(dir.path());
  std::string img = dir.file("D.VHD");
  Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " + Quote(raw) + " " + Quote(img));
  return {img, {img}};
}

Chain VhdDifferencing(const vmtest::TempDir& dir) {
  std::string raw = RawWithData(dir.path());
  std::string base = dir.file("B.VHD");
  Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " + Quote(raw) + " " + Quote(base));
  // The child over it, by the format tests' builder: same size and the parent's unique id.
  std::vector<uint8_t> parent = vmtest::ReadAll(base);
  const uint8_t* footer = parent.data() + parent.size() - 512;
  uint64_t size = 0;
  for (int i = 0; i < 8; ++i) size = size << 8 | footer[48 + i];
  vhdtest::VhdBuilder child(4, size);
  memcpy(child.parentUuid, footer + 68, 16);
  child.locators = {{0x57327275, u".\\B.VHD"}};
  child.Write(kSecondPartition + 100, vmtest::PatternBytes(512 * 3, 6));
  std::string img = dir.file("C.VHD");
  vhdtest::SaveImage(img, child.Build());
  return {img, {base, img}};
}

Chain VmdkChild(const vmtest::TempDir& dir) {
  std::string raw = RawWithData(dir.path());
  Sh("qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse " + Quote(raw) + " " + Quote(dir.file("P.vmdk")));
  Sh("cd " + Quote(dir.path()) + " && qemu-img create -q -f vmdk -b P.vmdk -F vmdk C.vmdk");
  return {dir.file("C.vmdk"), {dir.file("P.vmdk"), dir.file("C.vmdk")}};
}

bool ReadWhole(vmpeek::VirtualDisk* d, std::vector<uint8_t>* out) {
  uint64_t n = 0;
  d->GetGeometry(nullptr, nullptr, &n, nullptr, nullptr, nullptr);
  out->assign(n * 512, 0);
  for (uint64_t s = 0; s < n; s += 2048)
    if (d->Read(s, static_cast<uint32_t>(std::min<uint64_t>(2048, n - s)), out->data() + s * 512) != 0) return false;
  return true;
}

// The first sector of writer w's range: two ranges in the first partition, one in the second.
uint64_t RangeStart(int w) {
  return w < 2 ? kFirstPartition + 3000 + uint64_t(w) * (kRangeSectors + 1000) : kSecondPartition + 20000;
}

void Stress(const Chain& chain) {
  std::vector<uint8_t> model;
  {
    vmpeek::VirtualDisk* d = nullptr;
    ASSERT_EQ(Open(chain.image, true, &d), 0);
    ASSERT_TRUE(ReadWhole(d, &model));
    d->Release();
  }
  const std::vector<uint8_t> initial = model;
  vmpeek::VirtualDisk* disk = nullptr;
  ASSERT_EQ(Open(chain.image, false, &disk), 0);
  ASSERT_GE(disk->GetPartitionCount(), 2);
  vmpeek::VirtualPartition* parts[2] = {};
  ASSERT_EQ(disk->GetPartition(0, &parts[0]), 0);
  ASSERT_EQ(disk->GetPartition(1, &parts[1]), 0);
  const uint64_t partStart[2] = {kFirstPartition, kSecondPartition};

  const auto deadline = std::chrono::steady_clock::now() + kRunTime;
  std::atomic<int> failures{0};
  std::atomic<int> opened{0}, refused{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 rng(w + 1);
      const uint64_t base = RangeStart(w);
      const int part = base >= kSecondPartition ? 1 : 0;
      std::vector<uint8_t> buf, back;
      for (int op = 0; op < 400 && std::chrono::steady_clock::now() < deadline; ++op) {
        uint32_t count = 1 + rng() % 300;
        uint64_t first = base + rng() % (kRangeSectors - count);
        buf = vmtest::PatternBytes(count * 512, rng());
        NTSTATUS st = op % 2 ? parts[part]->Write(first - partStart[part], count, buf.data())
                             : disk->Write(first, count, buf.data());
        if (st != 0) { ++failures; continue; }
        memcpy(model.data() + first * 512, buf.data(), buf.size());  // this thread's range only
        back.resize(buf.size());
        st = op % 3 ? disk->Read(first, count, back.data()) : parts[part]->Read(first - partStart[part], count, back.data());
        if (st != 0 || back != buf) ++failures;
      }
    });
  }
  // Readers of areas no writer touches (data written before, holes, the MBR).
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937 rng(100 + r);
      std::vector<uint8_t> back;
      const uint64_t areas[3][2] = {{0, kFirstPartition + 3000}, {39000, 42000}, {60000, 65000}};
      while (std::chrono::steady_clock::now() < deadline) {
        const auto& a = areas[rng() % 3];
        uint32_t count = 1 + rng() % 256;
        uint64_t first = a[0] + rng() % (a[1] - a[0] - count);
        back.resize(count * 512);
        if (disk->Read(first, count, back.data()) != 0 ||
            memcmp(back.data(), initial.data() + first * 512, back.size()) != 0)
          ++failures;
      }
    });
  }
  // Openers: every disk of the chain, read-only, while the image is open for writing.
  threads.emplace_back([&] {
    std::vector<uint8_t> sector(512);
    size_t i = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      vmpeek::VirtualDisk* other = nullptr;
      NTSTATUS st = Open(chain.others[i++ % chain.others.size()], true, &other);
      if (st == 0) {
        ++opened;
        if (other->Read(0, 1, sector.data()) != 0 || memcmp(sector.data(), initial.data(), 512) != 0) ++failures;
        other->Release();
      } else if (st == STATUS_SHARING_VIOLATION) {
        ++refused;
      } else if (st == STATUS_INVALID_IMAGE_FORMAT &&
                 vmtest::TraceContains("VMParseErrors", "open R/O failed c0000043")) {
        // A VMDK disk reports an extent it may not share as a bad extent (the trace names the
        // sharing refusal).
        ++refused;
        vmtest::ClearTrace();
      } else {
        std::string why;
        for (const std::string& line : vmtest::RecentTrace("VMParseErrors")) why += line;
        ADD_FAILURE() << why << "opening " << chain.others[(i - 1) % chain.others.size()] << " gave " << std::hex << st;
        ++failures;
      }
    }
  });
  for (auto& t : threads) t.join();
  parts[0]->Release();
  parts[1]->Release();
  disk->Release();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(opened.load() + refused.load(), 0);

  vmpeek::VirtualDisk* d = nullptr;
  ASSERT_EQ(Open(chain.image, true, &d), 0);
  std::vector<uint8_t> seen;
  ASSERT_TRUE(ReadWhole(d, &seen));
  d->Release();
  ASSERT_EQ(seen.size(), model.size());
  for (size_t s = 0; s < seen.size() / 512; ++s)
    ASSERT_EQ(memcmp(seen.data() + s * 512, model.data() + s * 512, 512), 0) << "sector " << s;
}

TEST(DiskStress, VhdDynamic) {
  vmtest::TempDir dir;
  Stress(VhdDynamic(dir));
}

TEST(DiskStress, VhdDifferencingOverParent) {
  vmtest::TempDir dir;
  Stress(VhdDifferencing(dir));
}

TEST(DiskStress, VmdkSparseChildOverParent) {
  vmtest::TempDir dir;
  Stress(VmdkChild(dir));
}

}  // namespace
