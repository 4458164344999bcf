#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

#include "platform/path.h"

namespace vmtest {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vmpeek-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) abort();
  m_Path = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_Path, ec);
}

int Run(const std::string& command, std::string* out) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    if (out) out->append(buf, n);
  int st = pclose(p);
  if (st == -1) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

std::string Quote(const std::string& s) {
  std::string r = "'";
  for (char c : s) {
    if (c == '\'') r += "'\\''";
    else r += c;
  }
  return r + "'";
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

std::u16string NtPath(const std::string& posix) { return u"\\??\\" + PlatformPosixToWindows(posix); }
std::u16string WinPath(const std::string& posix) { return PlatformPosixToWindows(posix); }

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13; x ^= x >> 7; x ^= x << 17;
    v[i] = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

void PutLE16(uint8_t* p, uint16_t v) { p[0] = v; p[1] = v >> 8; }
void PutLE32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = v >> (8 * i); }
void PutLE64(uint8_t* p, uint64_t v) { for (int i = 0; i < 8; ++i) p[i] = v >> (8 * i); }
void PutBE16(uint8_t* p, uint16_t v) { p[0] = v >> 8; p[1] = v; }
void PutBE32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = v >> (24 - 8 * i); }
void PutBE64(uint8_t* p, uint64_t v) { for (int i = 0; i < 8; ++i) p[i] = v >> (56 - 8 * i); }

}  // namespace vmtest
