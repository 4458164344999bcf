// Disk images opened through the library and compared with what real tools read from them.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/open_virtual_disk.h"
#include "platform/wstr.h"
#include "support/test_support.h"

namespace vmtest {

// One reference on a host object, released at scope end.
template <class T>
struct Ref {
  T* p = nullptr;
  NTSTATUS status = 0;  // of the open that filled it
  Ref() = default;
  explicit Ref(T* q) : p(q) {}
  Ref(Ref&& o) noexcept : p(o.p), status(o.status) { o.p = nullptr; }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }
  void reset() {
    if (p) p->Release();
    p = nullptr;
  }
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
  T** put() { return &p; }
};
using DiskRef = Ref<vmpeek::VirtualDisk>;

// Opens an image as a host does (MountOpenVirtualDisk on the Win32 path); returns the status.
inline NTSTATUS OpenImage(DiskRef& ref, const std::string& posix, bool readOnly = true) {
  ref.reset();
  return ref.status = MountOpenVirtualDisk(WinPath(posix).c_str(), readOnly ? 1 : 0, &ref.p);
}

struct Geometry {
  uint32_t media = 0, bytesPerSector = 0;
  uint64_t sectors = 0, cylinders = 0;
  uint32_t heads = 0, sectorsPerTrack = 0;
  bool operator==(const Geometry&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Geometry& g) {
  return os << "{media " << g.media << ", bps " << g.bytesPerSector << ", sectors " << g.sectors << ", cyl "
            << g.cylinders << ", heads " << g.heads << ", spt " << g.sectorsPerTrack << "}";
}
template <class T>
Geometry GeometryOf(T* d) {
  Geometry g;
  d->GetGeometry(&g.media, &g.bytesPerSector, &g.sectors, &g.cylinders, &g.heads, &g.sectorsPerTrack);
  return g;
}
inline uint64_t SectorCount(vmpeek::VirtualDisk* d) { return GeometryOf(d).sectors; }

// The parent's name through the size protocol ("" when there is none).
inline std::string ParentName(vmpeek::VirtualDisk* d) {
  uint64_t size = 0;
  d->GetParentFileName(nullptr, &size);
  std::u16string name(size, u'\0');
  if (size == 0 || d->GetParentFileName(name.data(), &size) != 0) return "";
  return Utf16ToUtf8(name.c_str());
}

// The whole disk, read in odd-sized chunks so that requests cross block and file boundaries.
inline std::vector<uint8_t> ReadWhole(vmpeek::VirtualDisk* d, uint32_t chunk = 777) {
  const uint64_t n = SectorCount(d);
  std::vector<uint8_t> out(n * 512);
  for (uint64_t s = 0; s < n; s += chunk) {
    const uint32_t c = static_cast<uint32_t>(std::min<uint64_t>(chunk, n - s));
    const NTSTATUS st = d->Read(s, c, out.data() + s * 512);
    EXPECT_EQ(st, 0) << "read at sector " << s;
    if (st != 0) break;
  }
  return out;
}

// Writes data at sector through the disk (asserting success) and into the expected bytes.
inline void WriteBoth(vmpeek::VirtualDisk* disk, std::vector<uint8_t>* expected, uint64_t sector,
                      const std::vector<uint8_t>& data) {
  ASSERT_EQ(disk->Write(sector, static_cast<uint32_t>(data.size() / 512), data.data()), 0);
  memcpy(expected->data() + sector * 512, data.data(), data.size());
}

// Index of the first differing byte, or -1.
inline int64_t FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  const size_t n = std::min(a.size(), b.size());
  if (memcmp(a.data(), b.data(), n) != 0)
    for (size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return static_cast<int64_t>(i);
  return a.size() == b.size() ? -1 : static_cast<int64_t>(n);
}

// First sector where the disk and a (possibly huge) raw file differ, -1 when every byte agrees,
// -2 on a failed read or a size mismatch.
inline int64_t CompareWithRaw(vmpeek::VirtualDisk* disk, const std::string& raw) {
  const uint64_t sectors = SectorCount(disk), chunk = 16384;
  if (FileSize(raw) != sectors * 512) return -2;
  std::vector<uint8_t> mine(chunk * 512);
  for (uint64_t s = 0; s < sectors; s += chunk) {
    const uint32_t n = static_cast<uint32_t>(std::min(chunk, sectors - s));
    if (disk->Read(s, n, mine.data()) < 0) return -2;
    mine.resize(n * 512);
    const int64_t at = FirstDifference(mine, ReadBytes(raw, s * 512, n * 512));
    if (at >= 0) return static_cast<int64_t>(s) + at / 512;
  }
  return -1;
}

// A VMDK descriptor's CID or parentCID as 8 hex digits (qemu-img writes them without leading zeros).
inline std::string VmdkDescriptorId(const std::string& vmdk, const std::string& key = "CID") {
  const std::string value = Sh("grep -a -m1 '^" + key + "=' " + Quote(vmdk) + " | cut -d= -f2");
  char text[16];
  snprintf(text, sizeof text, "%08lx", std::stoul(value, nullptr, 16));
  return text;
}

// Turns the dynamic VHD child into a differencing child of parent with vhd-lib (an independent
// writer that scripts/install-deps.sh installs once), then writes "SECTOR:COUNT:BYTE" runs into it.
// Skips the calling test when vhd-lib is not installed; callers return on IsSkipped().
inline void VhdLibChild(const std::string& parent, const std::string& child, const std::string& writes) {
  const char* tools = getenv("VMPEEK_TOOLS_DIR");
  const std::string modules = std::string(tools && *tools ? tools : "/opt/vmpeek-tools") + "/vhd-lib-0.7.2";
  if (!std::filesystem::exists(modules + "/node_modules/vhd-lib/package.json"))
    GTEST_SKIP() << "vhd-lib 0.7.2 is not installed in " << modules << " (scripts/install-deps.sh installs it)";
  Sh("node " + Quote(std::string(VMPEEK_SOURCE_DIR) + "/tests/vhd/make_diff_vhd.js") + " " + Quote(modules) + " " +
     Quote(parent) + " " + Quote(child) + " " + Quote(Utf16ToUtf8(WinPath(parent))) + " " + writes + " >/dev/null");
}

}  // namespace vmtest
