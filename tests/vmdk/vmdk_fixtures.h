// Helpers for the VMDK tests: raw disks with a partition, qemu-img conversions, opening disks
// through the factory, and sector-by-sector comparison with a raw image.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "disk/open_virtual_disk.h"
#include "support/test_support.h"

namespace vmdktest {

// One disk image reference, released at scope end.
struct DiskRef {
  VirtualDisk* p = nullptr;
  DiskRef() = default;
  DiskRef(const DiskRef&) = delete;
  DiskRef& operator=(const DiskRef&) = delete;
  ~DiskRef() { reset(); }
  void reset() {
    if (p) p->Release();
    p = nullptr;
  }
  VirtualDisk* operator->() const { return p; }
};

// Opens a .vmdk through the factory; the disk stays in *disk only when Open succeeded.
NTSTATUS OpenVmdk(const std::string& path, bool readOnly, DiskRef* disk);

using Pieces = std::vector<std::pair<uint64_t, std::vector<uint8_t>>>;
// A raw disk of `bytes` with one partition from sector 2048 (sfdisk), then the pieces laid in
// at their byte offsets.
void MakeRaw(const std::string& path, uint64_t bytes, const Pieces& pieces);
// Writes bytes at an offset of an existing file.
void PatchFile(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
void PatchLE32(const std::string& path, uint64_t offset, uint32_t value);
void PatchLE64(const std::string& path, uint64_t offset, uint64_t value);
uint64_t FileSize(const std::string& path);
// Bytes of a file: all of it, or `length` bytes at `offset` (fread, fast on big files).
std::vector<uint8_t> ReadFileBytes(const std::string& path);
std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, uint64_t length);
// Runs a command and expects success (output to stderr on failure).
void MustRun(const std::string& command);
// qemu-img convert of a raw file to vmdk of the given subformat.
void RawToVmdk(const std::string& raw, const std::string& vmdk, const std::string& subformat);
// qemu-img convert of an image to raw; returns the raw path.
std::string ToRaw(const std::string& image, const std::string& raw);
// First sector where the disk and the raw file differ, -1 when every byte agrees, -2 on a
// failed read.
int64_t CompareWithRaw(VirtualDisk* disk, const std::string& raw);
// The byte offset of the first occurrence of text in a file, or -1.
int64_t FindInFile(const std::string& path, const std::string& text);
// A text descriptor with geometry lines.
std::string TextDescriptor(uint32_t cid, uint32_t parentCid, const std::vector<std::string>& extentLines,
                           const std::string& parentHint = "");

}  // namespace vmdktest
