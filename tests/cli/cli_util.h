// Running the built vmpeek on real images in the end-to-end tests.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace clitest {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs build/bin/vmpeek with the (already quoted) arguments; stdin from a file when given.
Result Vmpeek(const std::string& args, const std::string& input = "");
// Runs it with --json appended to the command and parses standard output (exit status 0 expected).
nlohmann::json VmpeekJson(const std::string& args);
// Runs a shell command that must succeed; its standard output.
std::string Sh(const std::string& command);
// The sample machines, made once per run with samples/make-sample.sh: <dir>/vmware, <dir>/microsoft.
const std::string& Samples();
// A file's bytes, read in one go (images here are tens of MiB).
std::vector<uint8_t> Bytes(const std::string& path);
// qemu-img convert -O raw of an image, as bytes.
std::vector<uint8_t> QemuRaw(const std::string& image, const std::string& format = "");

}  // namespace clitest
