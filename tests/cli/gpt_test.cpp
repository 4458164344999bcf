// vmpeek partitions and info on a GPT disk made by sgdisk: type names, type GUIDs and entry names
// come through the plug-in's inspection interface.
#include <gtest/gtest.h>

#include "cli_util.h"
#include "platform/loader.h"
#include "platform/path.h"
#include "vmpeek/vmpeek.h"

using namespace clitest;

namespace {

// Whether the built plug-in offers the inspection interface the GPT details come through.
bool PluginOffersInspection() {
  HMODULE module = LoadLibraryW(PlatformPosixToWindows(VMPEEK_BUILD_DIR "/lib/libvmpeek.so").c_str());
  if (module == nullptr) return false;
  auto get = reinterpret_cast<PFN_NotComDllGetInterface>(GetProcAddress(module, "NotComDllGetInterface"));
  auto unload = reinterpret_cast<PFN_NotComDllUnload>(GetProcAddress(module, "NotComDllUnload"));
  void* object = nullptr;
  const bool offered = get != nullptr && get(VMPEEK_DISK_INSPECT_INTERFACE, &object) == 0 && object != nullptr;
  if (object != nullptr) static_cast<vmpeek::CVmDiskInspect*>(object)->Release();
  if (unload != nullptr) unload();
  FreeLibrary(module);
  return offered;
}

}  // namespace

TEST(CliPartitions, GptTypesAndNames) {
  if (!PluginOffersInspection()) GTEST_SKIP() << "the plug-in offers no " VMPEEK_DISK_INSPECT_INTERFACE " interface";
  TempDir dir;
  const std::string raw = dir.file("disk.raw"), vmdk = dir.file("disk.vmdk");
  Sh("truncate -s 64M " + Quote(raw) + " && sgdisk -n 1:2048:+1M -t 1:ef00 -c 1:'EFI system partition' "
     "-n 2:0:+16M -t 2:0c01 -n 3:0:+20M -t 3:0700 -c 3:'Données' -n 4:0:0 -t 4:2700 " + Quote(raw) + " >/dev/null");
  Sh("qemu-img convert -q -f raw -O vmdk " + Quote(raw) + " " + Quote(vmdk));

  const nlohmann::json rows = VmpeekJson("partitions " + Quote(vmdk));
  EXPECT_EQ(rows["scheme"], "gpt");
  ASSERT_EQ(rows["partitions"].size(), 4u);
  const nlohmann::json& efi = rows["partitions"][0];
  EXPECT_EQ(efi["type"], 0xEF);
  EXPECT_EQ(efi["type_name"], "EFI system");
  EXPECT_EQ(efi["type_guid"], "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  EXPECT_EQ(efi["name"], "EFI system partition");
  EXPECT_EQ(rows["partitions"][1]["name"], "");
  EXPECT_EQ(rows["partitions"][3]["type_name"], "Windows recovery");
  const nlohmann::json info = VmpeekJson("info " + Quote(vmdk));
  EXPECT_EQ(info["scheme"], "gpt");
  EXPECT_EQ(info["partitions"][2]["name"], "Données");
  EXPECT_EQ(info["partitions"][2]["type_guid"], "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");

  const Result text = Vmpeek("info " + Quote(vmdk));
  EXPECT_EQ(text.status, 0) << text.err;
  for (const char* part : {"scheme:        gpt", "Microsoft basic data", "Microsoft reserved", "  Données"})
    EXPECT_NE(text.out.find(part), std::string::npos) << part << "\n" << text.out;
}
