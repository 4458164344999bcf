#include "cli_util.h"

#include <gtest/gtest.h>

namespace clitest {

Result Vmpeek(const std::string& args, const std::string& input, const std::string& cwd) {
  static vmtest::TempDir scratch;
  std::string errFile = scratch.file("stderr");
  std::string command = (cwd.empty() ? "" : "cd " + Quote(cwd) + " && ") +
                        Quote(std::string(VMPEEK_BUILD_DIR) + "/bin/vmpeek") + " " + args + " 2>" + Quote(errFile) +
                        (input.empty() ? " </dev/null" : " <" + Quote(input));
  Result result;
  result.status = vmtest::Run(command, &result.out);
  std::vector<uint8_t> err = ReadAll(errFile);
  result.err.assign(err.begin(), err.end());
  return result;
}

nlohmann::json VmpeekJson(const std::string& args) {
  Result r = Vmpeek(args + " --json");
  EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
  return nlohmann::json::parse(r.out, nullptr, false);
}

const std::string& Samples() {
  static vmtest::TempDir dir;
  static std::string path = [] {
    Sh(Quote(std::string(VMPEEK_SOURCE_DIR) + "/samples/make-sample.sh") + " " + Quote(dir.path()) + " >/dev/null");
    return dir.path();
  }();
  return path;
}

void ExpectExit(const Result& r, int status, const std::string& text) {
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
}

void ExpectJsonHas(const nlohmann::json& actual, const nlohmann::json& expected, const std::string& where) {
  if (!expected.is_structured()) {
    EXPECT_EQ(actual, expected) << where;
    return;
  }
  ASSERT_EQ(actual.type(), expected.type()) << where << ": " << actual;
  if (expected.is_array()) {
    ASSERT_EQ(actual.size(), expected.size()) << where << ": " << actual;
  }
  for (const auto& [key, value] : expected.items()) {
    const bool has = expected.is_array() || actual.contains(key);
    EXPECT_TRUE(has) << where << "/" << key << " is missing";
    if (has) ExpectJsonHas(expected.is_array() ? actual[std::stoul(key)] : actual[key], value, where + "/" + key);
  }
}

}  // namespace clitest
