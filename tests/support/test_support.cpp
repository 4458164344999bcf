#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "platform/path.h"
#include "platform/wstr.h"

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

std::vector<uint8_t> ReadAll(const std::string& path) { return ReadBytes(path, 0, FileSize(path)); }

std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t length) {
  std::vector<uint8_t> bytes(length);
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return {};
  fseeko(f, static_cast<off_t>(offset), SEEK_SET);
  bytes.resize(fread(bytes.data(), 1, length, f));
  fclose(f);
  return bytes;
}

void PokeBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(f.good()) << path << " @" << offset;
}

uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  uint64_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

std::string CopyFile(const std::string& from, const std::string& to) {
  Sh("cp --sparse=always " + Quote(from) + " " + Quote(to));
  return to;
}

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += "0123456789abcdef"[bytes[i] >> 4], s += "0123456789abcdef"[bytes[i] & 15];
  return s;
}

std::string Sh(const std::string& command) {
  std::string out;
  EXPECT_EQ(Run(command, &out), 0) << command << "\n" << out;
  return out;
}

std::string SfdiskDisk(const std::string& path, uint64_t bytes, const std::string& script) {
  WriteText(path + ".sfdisk", script);
  Sh("truncate -s " + std::to_string(bytes) + " " + Quote(path) + " && sfdisk -q --no-reread " + Quote(path) + " < " +
     Quote(path + ".sfdisk") + " >/dev/null 2>&1");
  std::remove((path + ".sfdisk").c_str());
  return path;
}

std::string QemuToRaw(const std::string& image, const std::string& raw, const std::string& format) {
  Sh("qemu-img convert -U " + (format.empty() ? "" : "-f " + format + " ") + "-O raw " + Quote(image) + " " + Quote(raw));
  return raw;
}

std::vector<uint8_t> QemuRaw(const std::string& image, const std::string& format) {
  TempDir scratch;
  return ReadAll(QemuToRaw(image, scratch.file("converted.raw"), format));
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

}  // namespace vmtest
