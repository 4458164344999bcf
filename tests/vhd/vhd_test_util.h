// Helpers shared by the VHD tests: a qemu-made image with partitions and data.
#pragma once
#include <gtest/gtest.h>

#include "support/image_support.h"
#include "support/trace_capture.h"
#include "vhd/vhd_builder.h"

namespace vhdtest {

using namespace vmtest;

inline constexpr uint64_t kDisk = 64ull << 20;
inline const char* kPartitions = "start=2048, size=40960, type=7\nstart=43008, type=c\n";

// A qemu-made VHD with an sfdisk MBR and patterned data, some of it across the 2 MiB block
// boundary and at the very end of the disk.
inline std::string MakeQemuImage(const TempDir& dir, const std::string& name, const std::string& options) {
  std::string img = dir.file(name);
  WriteAll(dir.file("mbr.bin"), SfdiskMbr(dir.path(), kDisk, kPartitions));
  Sh("qemu-img create -q -f vpc -o " + options + " " + Quote(img) + " 64M");
  const uint64_t size = std::stoull(Sh("qemu-img info -f vpc --output=json " + Quote(img) +
                                       " | sed -n 's/.*\"virtual-size\": \\([0-9]*\\).*/\\1/p'"));
  Sh("qemu-io -f vpc -c " + Quote("write -s " + dir.file("mbr.bin") + " 0 512") +
     " -c 'write -P 0x11 1M 64k' -c 'write -P 0x22 2093056 8192' -c 'write -P 0x33 40M 1M' -c " +
     Quote("write -P 0x44 " + std::to_string(size - 4096) + " 4096") + " " + Quote(img));
  return img;
}

}  // namespace vhdtest
