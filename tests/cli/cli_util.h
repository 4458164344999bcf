// Running the built vmpeek on real images in the end-to-end tests.
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "support/image_support.h"

namespace clitest {

using namespace vmtest;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs build/bin/vmpeek with the (already quoted) arguments; stdin from a file when given; in
// the folder `cwd` when given.
Result Vmpeek(const std::string& args, const std::string& input = "", const std::string& cwd = "");
// Runs it with --json appended to the command and parses standard output (exit status 0 expected).
nlohmann::json VmpeekJson(const std::string& args);
// The sample machines, made once per run with samples/make-sample.sh: <dir>/vmware, <dir>/microsoft.
const std::string& Samples();
// Exit status `status`, and `text` somewhere in standard error.
void ExpectExit(const Result& r, int status, const std::string& text);
// Every value `expected` names (objects by key, arrays element by element and of the same
// length) is the same in `actual`; keys `expected` leaves out are not checked.
void ExpectJsonHas(const nlohmann::json& actual, const nlohmann::json& expected, const std::string& where = "");
}  // namespace clitest
