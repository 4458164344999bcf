// Helpers shared by the test programs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "platform/endian.h"
#include "vmpeek/types.h"

namespace vmtest {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_Path; }
  std::string file(const std::string& name) const { return m_Path + "/" + name; }

 private:
  std::string m_Path;
};

// Runs a shell command; returns its exit status (-1 when it could not run). Standard output is
// captured into *out when given; standard error passes through.
int Run(const std::string& command, std::string* out = nullptr);
// Shell-quotes one argument.
std::string Quote(const std::string& s);

std::vector<uint8_t> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::vector<uint8_t>& data);
void WriteText(const std::string& path, const std::string& text);

// The library's NT form ("\??\Z:\...") of a POSIX path.
std::u16string NtPath(const std::string& posix);
// The Win32 form ("Z:\...") of a POSIX path.
std::u16string WinPath(const std::string& posix);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed);

// Fixture builders store with the library's own little- and big-endian writers.
inline constexpr auto PutLE16 = StoreLE16;
inline constexpr auto PutLE32 = StoreLE32;
inline constexpr auto PutLE64 = StoreLE64;
inline constexpr auto PutBE16 = StoreBE16;
inline constexpr auto PutBE32 = StoreBE32;
inline constexpr auto PutBE64 = StoreBE64;

// Part of a (possibly large, sparse) file, an in-place overwrite of part of one, its size.
std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t length);
void PokeBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
uint64_t FileSize(const std::string& path);
// A sparse copy of a file; returns `to`.
std::string CopyFile(const std::string& from, const std::string& to);
// Lower-case hex of bytes.
std::string Hex(const uint8_t* bytes, size_t n);

// Runs a shell command that must succeed (a test failure otherwise); its standard output.
std::string Sh(const std::string& command);
// A zeroed disk of `bytes` at path, partitioned by sfdisk with the script; returns path.
std::string SfdiskDisk(const std::string& path, uint64_t bytes, const std::string& script);
// qemu-img convert of an image to a raw file (returns raw), or to bytes; format empty: probed.
std::string QemuToRaw(const std::string& image, const std::string& raw, const std::string& format = "");
std::vector<uint8_t> QemuRaw(const std::string& image, const std::string& format = "");

}  // namespace vmtest
