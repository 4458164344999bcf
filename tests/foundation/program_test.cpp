// The built artefacts as a host sees them: libvmpeek.so's exports and the vmpeek program.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace {

const std::string kBuild = VMPEEK_BUILD_DIR;

TEST(Artefacts, PluginExportsExactlyTwoNames) {
  std::string out;
  ASSERT_EQ(0, vmtest::Run("nm -D --defined-only " + vmtest::Quote(kBuild + "/lib/libvmpeek.so"), &out));
  std::set<std::string> names;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) names.insert(line.substr(line.rfind(' ') + 1));
  EXPECT_EQ((std::set<std::string>{"NotComDllGetInterface", "NotComDllUnload"}), names);
}

// Runs vmpeek with the given environment and arguments, standard error folded into the output.
int Vmpeek(const std::string& env, const std::string& args, std::string* out) {
  out->clear();
  return vmtest::Run("env -u VEXLOG -u VEXLOG_FILE " + env + " " + vmtest::Quote(kBuild + "/bin/vmpeek") +
                         " " + args + " 2>&1",
                     out);
}

TEST(Artefacts, VersionLoadsThePluginAndTracesItsLife) {
  std::string out;
  ASSERT_EQ(0, Vmpeek("VEXLOG=all", "--version", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("vmpeek 0.1.0")) << out;
  for (const char* line : {"Loaded Dll Z:\\", "libvmpeek.so: DLL_PROCESS_ATTACH",
                           "NotComDllGetInterface VM_Mount_Control_1 returned 0", "DLL_PROCESS_DETACH",
                           "Unloaded Dll Z:\\"})
    EXPECT_NE(std::string::npos, out.find(line)) << line << "\n" << out;

  ASSERT_EQ(0, Vmpeek("", "--version", &out)) << out;
  EXPECT_EQ(std::string::npos, out.find("DLL_PROCESS_ATTACH")) << out;

  ASSERT_EQ(0, Vmpeek("", "--trace libvmpeek.so --version", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("DLL_PROCESS_ATTACH")) << out;
  EXPECT_EQ(std::string::npos, out.find("Loaded Dll")) << out;  // written to the default channel
}

}  // namespace
