#include "quilldrv/fs_probe.h"

#include <cstring>
#include <vector>

#include "platform/endian.h"

namespace {

bool ReadBlock(BlockDevice& device, uint64_t offset, size_t length, std::vector<uint8_t>* out,
               bool* readFailed) {
  if (offset > device.Size() || length > device.Size() - offset) return false;
  out->assign(length, 0);
  NTSTATUS st;
  if (!device.ReadAt(offset, out->data(), length, &st)) {
    *readFailed = true;
    return false;
  }
  return true;
}

bool PowerOfTwoIn(uint32_t v, uint32_t lo, uint32_t hi) { return v >= lo && v <= hi && (v & (v - 1)) == 0; }

// A FAT boot sector: the type label mkfs and Windows write, and a BIOS parameter block that
// makes sense.
bool LooksLikeFat(const uint8_t* s) {
  const bool label = memcmp(s + 54, "FAT12   ", 8) == 0 || memcmp(s + 54, "FAT16   ", 8) == 0 ||
                     memcmp(s + 54, "FAT     ", 8) == 0 || memcmp(s + 82, "FAT32   ", 8) == 0;
  const bool jump = s[0] == 0xEB || s[0] == 0xE9;
  return label && jump && PowerOfTwoIn(LoadLE16(s + 11), 512, 4096) && PowerOfTwoIn(s[13], 1, 128) &&
         LoadLE16(s + 14) >= 1 && s[16] >= 1 && s[16] <= 4;
}

}  // namespace

FsKind ProbeFilesystem(BlockDevice& device, bool* readFailed) {
  *readFailed = false;
  std::vector<uint8_t> head;
  if (ReadBlock(device, 0, 512, &head, readFailed)) {
    if (memcmp(head.data() + 3, "NTFS    ", 8) == 0) return FsKind::Ntfs;
    if (memcmp(head.data() + 3, "EXFAT   ", 8) == 0) return FsKind::ExFat;
    if (LooksLikeFat(head.data())) return FsKind::Fat;
  }
  std::vector<uint8_t> super;
  if (ReadBlock(device, 1024, 512, &super, readFailed)) {
    if (LoadLE16(super.data() + 56) == 0xEF53) return FsKind::Ext;
    const uint16_t hfs = LoadBE16(super.data());
    if ((hfs == 0x482B || hfs == 0x4858) && (LoadBE16(super.data() + 2) == 4 || LoadBE16(super.data() + 2) == 5))
      return FsKind::HfsPlus;
  }
  std::vector<uint8_t> pvd;
  if (ReadBlock(device, 32768, 2048, &pvd, readFailed) && memcmp(pvd.data() + 1, "CD001", 5) == 0)
    return FsKind::Iso9660;
  return FsKind::Unknown;
}

const char* FsKindName(FsKind kind) {
  switch (kind) {
    case FsKind::Ntfs: return "NTFS";
    case FsKind::Fat: return "FAT";
    case FsKind::ExFat: return "exFAT";
    case FsKind::Ext: return "ext2/3/4";
    case FsKind::Iso9660: return "ISO 9660";
    case FsKind::HfsPlus: return "HFS+";
    default: return "unknown";
  }
}
