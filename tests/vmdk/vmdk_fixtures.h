// Helpers for the VMDK tests: raw disks with a partition, qemu-img conversions and descriptors.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/image_support.h"
#include "support/trace_capture.h"

namespace vmdktest {

using namespace vmtest;

using Pieces = std::vector<std::pair<uint64_t, std::vector<uint8_t>>>;
// A raw disk of `bytes` with one partition from sector 2048 (sfdisk), then the pieces laid in
// at their byte offsets.
inline void MakeRaw(const std::string& path, uint64_t bytes, const Pieces& pieces) {
  SfdiskDisk(path, bytes, "label: dos\nstart=2048, type=83\n");
  for (const auto& piece : pieces) PokeBytes(path, piece.first, piece.second);
}
// Overwrites `width` bytes of a file with a little-endian value.
inline void PatchLE(const std::string& path, uint64_t offset, uint64_t value, int width) {
  std::vector<uint8_t> b(8);
  PutLE64(b.data(), value);
  b.resize(width);
  PokeBytes(path, offset, b);
}
inline void RawToVmdk(const std::string& raw, const std::string& vmdk, const std::string& subformat) {
  Sh("qemu-img convert -f raw -O vmdk -o subformat=" + subformat + " " + Quote(raw) + " " + Quote(vmdk));
}
// The CID a qemu-made sparse image's embedded descriptor gives.
inline uint32_t QemuCid(const std::string& path) {
  const std::vector<uint8_t> data = ReadAll(path);
  const std::string text(data.begin(), data.end());
  return static_cast<uint32_t>(strtoul(text.c_str() + text.find("CID=") + 4, nullptr, 16));
}
// A text descriptor with geometry lines.
inline std::string TextDescriptor(uint32_t cid, uint32_t parentCid, const std::vector<std::string>& extentLines,
                                  const std::string& parentHint = "") {
  char ids[96];
  snprintf(ids, sizeof(ids), "CID=%08x\nparentCID=%08x\n", cid, parentCid);
  std::string text = std::string("# Disk DescriptorFile\nversion=1\n") + ids + "createType=\"custom\"\n";
  if (!parentHint.empty()) text += "parentFileNameHint=\"" + parentHint + "\"\n";
  text += "\n# Extent description\n";
  for (const std::string& line : extentLines) text += line + "\n";
  return text + "\n# The Disk Data Base \n#DDB\n\nddb.virtualHWVersion = \"4\"\n"
                "ddb.geometry.cylinders = \"20\"\nddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\n";
}

}  // namespace vmdktest
