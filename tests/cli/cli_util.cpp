#include "cli_util.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace clitest {

using vmtest::Quote;

Result Vmpeek(const std::string& args, const std::string& input) {
  static vmtest::TempDir scratch;
  std::string errFile = scratch.file("stderr");
  std::string command = Quote(std::string(VMPEEK_BUILD_DIR) + "/bin/vmpeek") + " " + args + " 2>" + Quote(errFile) +
                        (input.empty() ? " </dev/null" : " <" + Quote(input));
  Result result;
  result.status = vmtest::Run(command, &result.out);
  std::vector<uint8_t> err = Bytes(errFile);
  result.err.assign(err.begin(), err.end());
  return result;
}

nlohmann::json VmpeekJson(const std::string& args) {
  Result r = Vmpeek(args + " --json");
  EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
  return nlohmann::json::parse(r.out, nullptr, false);
}

std::string Sh(const std::string& command) {
  std::string out;
  EXPECT_EQ(vmtest::Run(command, &out), 0) << command;
  return out;
}

const std::string& Samples() {
  static vmtest::TempDir dir;
  static std::string path = [] {
    Sh(Quote(std::string(VMPEEK_SOURCE_DIR) + "/samples/make-sample.sh") + " " + Quote(dir.path()) + " >/dev/null");
    return dir.path();
  }();
  return path;
}

std::vector<uint8_t> Bytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    bytes.resize(size > 0 ? static_cast<size_t>(size) : 0);
    if (fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
    fclose(f);
  }
  return bytes;
}

std::vector<uint8_t> QemuRaw(const std::string& image, const std::string& format) {
  static vmtest::TempDir scratch;
  std::string raw = scratch.file("converted.raw");
  Sh("qemu-img convert " + (format.empty() ? "" : "-f " + format + " ") + "-O raw " + Quote(image) + " " + Quote(raw));
  return Bytes(raw);
}

}  // namespace clitest
