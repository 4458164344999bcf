// Helpers shared by the VHD tests: opening images through the library and reading them whole.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "disk/open_virtual_disk.h"
#include "support/test_support.h"
#include "support/trace_capture.h"
#include "vhd/vhd_builder.h"

namespace vhdtest {

using vmtest::Quote;

// Owns one reference on a disk.
struct DiskRef {
  VirtualDisk* disk = nullptr;
  NTSTATUS status = 0;
  DiskRef() = default;
  DiskRef(const DiskRef&) = delete;
  ~DiskRef() { reset(); }
  void reset() {
    if (disk) disk->Release();
    disk = nullptr;
  }
  VirtualDisk* operator->() const { return disk; }
  explicit operator bool() const { return disk != nullptr; }
};

// Opens an image through the VHD class; on failure the object is released and the status kept.
inline void OpenVhd(DiskRef& ref, const std::string& posix, bool readOnly) {
  ref.reset();
  std::u16string nt = vmtest::NtPath(posix);
  VirtualDisk* d = CreateVHDVirtualDisk(nt.c_str());
  ref.status = d ? d->Open(readOnly ? 1 : 0) : STATUS_NO_MEMORY;
  if (d && !NT_SUCCESS(ref.status)) {
    d->Release();
    d = nullptr;
  }
  ref.disk = d;
}

inline uint64_t SectorCount(VirtualDisk* d) {
  uint64_t n = 0;
  d->GetGeometry(nullptr, nullptr, &n, nullptr, nullptr, nullptr);
  return n;
}

// Reads the whole disk in odd-sized chunks so that requests cross block and file boundaries.
inline std::vector<uint8_t> ReadWhole(VirtualDisk* d, uint32_t chunk = 777) {
  uint64_t n = SectorCount(d);
  std::vector<uint8_t> out(n * 512);
  for (uint64_t s = 0; s < n; s += chunk) {
    uint32_t c = static_cast<uint32_t>(std::min<uint64_t>(chunk, n - s));
    NTSTATUS st = d->Read(s, c, out.data() + s * 512);
    EXPECT_EQ(st, 0) << "read at sector " << s;
    if (st != 0) break;
  }
  return out;
}

// The bytes of a file, or its first `limit` bytes (fast even in unoptimised builds).
inline std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t limit = SIZE_MAX) {
  std::vector<uint8_t> out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  fseek(f, 0, SEEK_END);
  size_t size = static_cast<size_t>(ftell(f));
  fseek(f, 0, SEEK_SET);
  out.resize(std::min(size, limit));
  size_t got = fread(out.data(), 1, out.size(), f);
  out.resize(got);
  fclose(f);
  return out;
}

// The raw contents of an image as qemu-img sees them.
inline std::vector<uint8_t> QemuRaw(const std::string& image, const std::string& format = "vpc") {
  std::string raw = image + ".qemu.raw";
  std::string cmd = "qemu-img convert -U -f " + format + " -O raw " + vmtest::Quote(image) + " " + vmtest::Quote(raw);
  EXPECT_EQ(vmtest::Run(cmd), 0) << cmd;
  auto bytes = ReadFileBytes(raw);
  std::remove(raw.c_str());
  return bytes;
}

inline void Sh(const std::string& cmd) { ASSERT_EQ(vmtest::Run(cmd + " >/dev/null"), 0) << cmd; }

// Index of the first differing byte, or -1.
inline int64_t FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = std::min(a.size(), b.size());
  if (memcmp(a.data(), b.data(), n) != 0)
    for (size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return static_cast<int64_t>(i);
  return a.size() == b.size() ? -1 : static_cast<int64_t>(n);
}

inline std::string Hex(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "%08x", v);
  return b;
}

inline constexpr uint64_t kDisk = 64ull << 20;
inline const char* kPartitions = "start=2048, size=40960, type=7\nstart=43008, type=c\n";

// A qemu-made VHD with an sfdisk MBR and patterned data, some of it across the 2 MiB block
// boundary and at the very end of the disk.
inline std::string MakeQemuImage(const vmtest::TempDir& dir, const std::string& name, const std::string& options) {
  std::string img = dir.file(name);
  auto mbr = SfdiskMbr(dir.path(), kDisk, kPartitions);
  vmtest::WriteAll(dir.file("mbr.bin"), mbr);
  Sh("qemu-img create -q -f vpc -o " + options + " " + vmtest::Quote(img) + " 64M");
  std::string sizeOut;
  vmtest::Run("qemu-img info -f vpc --output=json " + Quote(img) + " | sed -n 's/.*\"virtual-size\": \\([0-9]*\\).*/\\1/p'", &sizeOut);
  uint64_t size = std::stoull(sizeOut);
  Sh("qemu-io -f vpc -c " + Quote("write -s " + dir.file("mbr.bin") + " 0 512") +
     " -c 'write -P 0x11 1M 64k' -c 'write -P 0x22 2093056 8192' -c 'write -P 0x33 40M 1M' -c " +
     Quote("write -P 0x44 " + std::to_string(size - 4096) + " 4096") + " " + Quote(img));
  return img;
}

}  // namespace vhdtest
