// The images the fault trials grow, made by qemu-img/sfdisk or, where no tool writes the format
// (differencing VHD, COWD, split VHD sets), by the builders of the format tests.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "faults/fault_harness.h"
#include "vhd/vhd_builder.h"
#include "vmdk/cowd_builder.h"

namespace faulttest {

using vmtest::PatternBytes;
using vmtest::Quote;

namespace {

void Sh(const std::string& cmd) { EXPECT_EQ(vmtest::Run(cmd + " >/dev/null"), 0) << cmd; }

void Patch(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Folder(const vmtest::TempDir& dir, const std::string& name) {
  std::string folder = dir.file(name);
  std::filesystem::create_directories(folder);
  return folder;
}

// A raw disk with one partition from sector 2048 and patterned data at the given sectors.
std::string MakeRaw(const std::string& folder, uint64_t bytes, const std::vector<uint64_t>& dataSectors) {
  std::string raw = folder + "/src.raw";
  Sh("truncate -s " + std::to_string(bytes) + " " + Quote(raw));
  Sh("printf 'label: dos\\nstart=2048, type=83\\n' | sfdisk -q " + Quote(raw));
  uint32_t seed = 1;
  for (uint64_t s : dataSectors) Patch(raw, s * 512, PatternBytes(64 * 512, seed++));
  return raw;
}

}  // namespace

// 16 MiB dynamic VHD by qemu-img, data in blocks 0, 2 and 4; the write allocates blocks 5 and 6.
ImageKind MakeVhdDynamic(const vmtest::TempDir& dir) {
  ImageKind k;
  k.name = "vhd-dynamic";
  k.folder = Folder(dir, k.name);
  k.image = "D.VHD";
  std::string raw = MakeRaw(k.folder, 16 << 20, {2048, 4096 * 2 + 7, 4096 * 5 - 64});
  Sh("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " + Quote(raw) + " " +
     Quote(k.folder + "/" + k.image));
  std::remove(raw.c_str());
  k.qemuFormat = "vpc";
  k.sector = 4096 * 6 - 4;  // the last sectors of block 5 and the first of block 6
  k.data = PatternBytes(8 * 512, 99);
  return k;
}

// A differencing VHD over a dynamic parent: the write fills one block the child already holds
// and allocates the next one, over sectors the parent holds.
ImageKind MakeVhdDifferencing(const vmtest::TempDir& dir) {
  using vhdtest::VhdBuilder;
  ImageKind k;
  k.name = "vhd-differencing";
  k.folder = Folder(dir, k.name);
  k.image = "C.VHD";
  VhdBuilder base(3, 16 << 20);
  base.Write(0, vhdtest::SfdiskMbr(k.folder, 16 << 20, "start=2048, type=83\n"));
  base.Write(2048, PatternBytes(512 * 100, 1));
  base.Write(4096 * 5 - 10, PatternBytes(512 * 20, 2));
  vhdtest::SaveImage(k.folder + "/B.VHD", base.Build());
  VhdBuilder child(4, 16 << 20);
  memcpy(child.parentUuid, base.uuid, 16);
  child.uuid[0] ^= 0x5A;
  child.locators = {{0x57327275, u".\\B.VHD"}};
  child.Write(4096 * 4 + 3, PatternBytes(512, 3));
  vhdtest::SaveImage(k.folder + "/" + k.image, child.Build());
  k.sector = 4096 * 5 - 4;  // block 4 (the child's) and block 5 (new)
  k.data = PatternBytes(8 * 512, 98);
  return k;
}

// A dynamic VHD split over D.VHD and a D.V01 that is 40 sectors short of the per-file cap: the
// first new block grows D.V01 to the cap and starts D.V02; the second grows D.V02.
ImageKind MakeVhdContinuation(const vmtest::TempDir& dir) {
  ImageKind k = MakeVhdDynamic(dir);
  std::string single = k.folder + "/" + k.image;
  k.name = "vhd-continuation";
  k.folder = Folder(dir, k.name);
  std::vector<uint8_t> bytes = vmtest::ReadAll(single);
  std::vector<uint8_t> footer(bytes.end() - 512, bytes.end());
  bytes.resize(bytes.size() - 512);
  vmtest::WriteAll(k.folder + "/D.VHD", bytes);
  const std::string v01 = k.folder + "/D.V01";
  const uint64_t v01Sectors = 0x7FFFFF - 40;
  vmtest::WriteAll(v01, {});
  std::filesystem::resize_file(v01, v01Sectors * 512);
  Patch(v01, (v01Sectors - 1) * 512, footer);
  k.qemuFormat.clear();  // qemu-img reads single-file images only
  return k;
}

// 36 MiB monolithic sparse VMDK by qemu-img (grains of 128 sectors, tables of 512 entries): the
// write allocates the last grain of table 0 and the first of table 1.
ImageKind MakeVmdkSparse(const vmtest::TempDir& dir) {
  ImageKind k;
  k.name = "vmdk-sparse";
  k.folder = Folder(dir, k.name);
  k.image = "S.vmdk";
  std::string raw = MakeRaw(k.folder, 36 << 20, {2048, 65536 - 300});
  Sh("qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse " + Quote(raw) + " " +
     Quote(k.folder + "/" + k.image));
  std::remove(raw.c_str());
  k.qemuFormat = "vmdk";
  k.qemuCheck = true;
  k.sector = 65536 - 4;
  k.data = PatternBytes(8 * 512, 97);
  return k;
}

// A sparse child (qemu-img create -b) over a sparse parent that holds data around the write:
// both new grains are first filled from the parent.
ImageKind MakeVmdkChild(const vmtest::TempDir& dir) {
  ImageKind k;
  k.name = "vmdk-child";
  k.folder = Folder(dir, k.name);
  k.image = "C.vmdk";
  std::string raw = MakeRaw(k.folder, 36 << 20, {2048, 65536 - 32});
  Sh("qemu-img convert -f raw -O vmdk -o subformat=monolithicSparse " + Quote(raw) + " " +
     Quote(k.folder + "/P.vmdk"));
  std::remove(raw.c_str());
  Sh("cd " + Quote(k.folder) + " && qemu-img create -q -f vmdk -b P.vmdk -F vmdk C.vmdk");
  k.qemuFormat = "vmdk";
  k.qemuCheck = true;
  k.sector = 65536 - 4;
  k.data = PatternBytes(8 * 512, 96);
  return k;
}

// An ESX sparse (COWD) extent under a text descriptor: grain 16 sectors, tables of 4096 grains;
// table 0 exists, table 1 does not. The write allocates a grain in table 0, then creates table 1
// and a grain in it.
ImageKind MakeEsxSparse(const vmtest::TempDir& dir) {
  ImageKind k;
  k.name = "esx-sparse";
  k.folder = Folder(dir, k.name);
  k.image = "E.vmdk";
  const uint32_t sectors = 65536 + 8192;
  vmdktest::CowdImage cowd;
  cowd.sectors = sectors;
  cowd.grainSize = 16;
  std::vector<uint8_t> g0 = vhdtest::SfdiskMbr(k.folder, uint64_t{sectors} * 512, "start=2048, type=83\n");
  g0.resize(16 * 512, 0);
  cowd.grains[0] = g0;
  cowd.grains[128] = PatternBytes(16 * 512, 1);
  cowd.grains[4094] = PatternBytes(16 * 512, 2);
  vmdktest::BuildCowd(k.folder + "/E-delta.vmdk", cowd);
  vmtest::WriteText(k.folder + "/" + k.image,
                    "# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\ncreateType=\"vmfsSparse\"\n\n"
                    "# Extent description\nRW " + std::to_string(sectors) + " VMFSSPARSE \"E-delta.vmdk\"\n\n"
                    "# The Disk Data Base \n#DDB\n\nddb.virtualHWVersion = \"4\"\n"
                    "ddb.geometry.cylinders = \"73\"\nddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\n");
  k.qemuFormat = "vmdk";
  k.qemuCheck = true;
  k.sector = 65536 - 4;
  k.data = PatternBytes(8 * 512, 95);
  return k;
}

}  // namespace faulttest
