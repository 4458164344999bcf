#include "cli/partition_types.h"

#include "disk/gpt_types.h"

const char* GptTypeName(const uint8_t typeGuid[16]) {
  const GptTypeInfo* type = FindGptType(typeGuid);
  return type ? type->name : "unknown";
}

const char* PartitionTypeName(uint8_t type) {
  switch (type) {
    case 0x00: return "empty";
    case 0x01: return "FAT12";
    case 0x02: return "whole image";  // a raw image's single partition
    case 0x04:
    case 0x06:
    case 0x0E: return "FAT16";
    case 0x05:
    case 0x0F:
    case 0x85: return "extended";
    case 0x07: return "NTFS/exFAT";
    case 0x0B:
    case 0x0C: return "FAT32";
    case 0x11:
    case 0x14:
    case 0x16:
    case 0x1B:
    case 0x1C:
    case 0x1E: return "hidden FAT";
    case 0x17: return "hidden NTFS";
    case 0x27: return "recovery";
    case 0x42: return "LDM";
    case 0x82: return "Linux swap";
    case 0x83: return "Linux";
    case 0x8E: return "Linux LVM";
    case 0xA5: return "FreeBSD";
    case 0xA6: return "OpenBSD";
    case 0xA8: return "macOS UFS";
    case 0xAF: return "HFS/HFS+";
    case 0xEE: return "GPT protective";
    case 0xEF: return "EFI system";
    case 0xFB: return "VMFS";
    case 0xFD: return "Linux RAID";
    default: return "unknown";
  }
}
