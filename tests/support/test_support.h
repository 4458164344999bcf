// Helpers shared by the test programs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
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

// Little- and big-endian stores for fixture builders.
void PutLE16(uint8_t* p, uint16_t v);
void PutLE32(uint8_t* p, uint32_t v);
void PutLE64(uint8_t* p, uint64_t v);
void PutBE16(uint8_t* p, uint16_t v);
void PutBE32(uint8_t* p, uint32_t v);
void PutBE64(uint8_t* p, uint64_t v);

}  // namespace vmtest
