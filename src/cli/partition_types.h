// Short names of common MBR partition types.
#pragma once
#include <cstdint>

// "FAT16", "NTFS/exFAT", "Linux", ...; "unknown" for types not in the table.
const char* PartitionTypeName(uint8_t type);
// "Microsoft basic data", "EFI system", ... for a GPT type GUID (bytes as stored); "unknown"
// for types not in the table.
const char* GptTypeName(const uint8_t typeGuid[16]);
