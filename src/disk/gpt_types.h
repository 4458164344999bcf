// GPT partition type GUIDs the library and the host know by name, with the MBR-style type byte
// a GPT partition reports through VirtualPartition::GetInfo. docs/gpt.md holds the same table.
// Header-only: the host program uses it without linking the plug-in's code.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

struct GptTypeInfo {
  const char* guid;  // canonical text, upper case
  uint8_t mbrType;   // 0x00: no MBR equivalent (the type GUID stays available)
  const char* name;
};

inline constexpr GptTypeInfo kGptTypes[] = {
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", 0xEF, "EFI system"},
    {"21686148-6449-6E6F-744E-656564454649", 0x00, "BIOS boot"},
    {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", 0x0C, "Microsoft reserved"},
    {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", 0x07, "Microsoft basic data"},
    {"5808C8AA-7E8F-42E0-85D2-E1E90434CFB3", 0x42, "LDM metadata"},
    {"AF9B60A0-1431-4F62-BC68-3311714A69AD", 0x42, "LDM data"},
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", 0x27, "Windows recovery"},
    {"E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D", 0x00, "Storage Spaces"},
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", 0x83, "Linux filesystem"},
    {"4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709", 0x83, "Linux root (x86-64)"},
    {"933AC7E1-2EB4-4F13-B844-0E14E2AEF915", 0x83, "Linux home"},
    {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", 0x82, "Linux swap"},
    {"E6D6D379-F507-44C2-A23C-238F2A3DF928", 0x8E, "Linux LVM"},
    {"A19D880F-05FC-4D3B-A006-743F0F84911E", 0xFD, "Linux RAID"},
    {"516E7CB6-6ECF-11D6-8FF8-00022D09712B", 0xA5, "FreeBSD UFS"},
    {"48465300-0000-11AA-AA11-00306543ECAC", 0xAF, "HFS/HFS+"},
    {"AA31E02A-400F-11DB-9590-000C2911D1B8", 0xFB, "VMFS"},
};

// A GUID's 16 bytes as GPT stores them: the first three fields little-endian, the last eight
// bytes in text order.
inline constexpr int kGuidTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (upper case) from the stored bytes.
inline std::string GuidToText(const uint8_t stored[16]) {
  char text[37];
  char* out = text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    snprintf(out, 3, "%02X", stored[kGuidTextOrder[i]]);
    out += 2;
  }
  return std::string(text, 36);
}

// The table row whose GUID is `stored`, or null.
inline const GptTypeInfo* FindGptType(const uint8_t stored[16]) {
  const std::string text = GuidToText(stored);
  for (const GptTypeInfo& type : kGptTypes)
    if (text == type.guid) return &type;
  return nullptr;
}
