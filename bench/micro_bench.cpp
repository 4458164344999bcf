// Micro-benchmarks of the hot paths: a CfgBall lookup in a .vmx text, opening a real .vmx, the
// sparse-extent address computation (VMDK grain lookup, VHD block and sector-bitmap lookup) and
// the extent-set split.
// Images are made with qemu-img in a scratch folder, as users would have them.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "disk/open_virtual_disk.h"
#include "platform/nt_file.h"
#include "vm/cfg_ball.h"
#include "vm/open_virtual_machine.h"
#include "vmdk/vmdk_extent_set.h"

namespace {

std::u16string Utf16(const std::string& s) { return std::u16string(s.begin(), s.end()); }
// The library's form of a POSIX path: drive Z: is the root.
std::u16string NtPath(const std::string& posix) {
  std::string p = posix;
  for (char& c : p)
    if (c == '/') c = '\\';
  return Utf16("\\??\\Z:" + p);
}

struct Scratch {
  std::string dir;
  Scratch() {
    char tmpl[] = "/var/tmp/vmpeek-micro-XXXXXX";
    dir = mkdtemp(tmpl) ? tmpl : "/var/tmp";
  }
  ~Scratch() { Sh("rm -rf '" + dir + "'"); }
  static void Sh(const std::string& cmd) {
    if (system(cmd.c_str()) != 0) fprintf(stderr, "failed: %s\n", cmd.c_str());
  }
};
Scratch& TheScratch() {
  static Scratch s;
  return s;
}

// A disk with one MBR partition covering it, so that the library opens it.
void MakeRaw(const std::string& raw, uint64_t mib) {
  Scratch::Sh("truncate -s " + std::to_string(mib) + "M '" + raw + "' && echo 'start=2048, type=7' | sfdisk -q '" +
              raw + "' >/dev/null");
}

VirtualDisk* OpenImage(const std::string& posix) {
  std::u16string path = NtPath(posix);
  VirtualDisk* disk = OpenVirtualDisk(path.c_str());
  if (!disk) return nullptr;
  if (disk->Open(1) < 0) {
    disk->Release();
    return nullptr;
  }
  return disk;
}

// --- CfgBall lookup on a 4 KB .vmx text ---------------------------------------------------

std::string VmxText() {
  std::string text = ".encoding = \"UTF-8\"\nconfig.version = \"8\"\nvirtualHW.version = \"19\"\n";
  for (int i = 0; text.size() < 4000; ++i) {
    text += "scsi0:" + std::to_string(i) + ".present = \"TRUE\"\n";
    text += "scsi0:" + std::to_string(i) + ".fileName = \"disk-" + std::to_string(i) + ".vmdk\"\n";
    text += "ethernet" + std::to_string(i) + ".addressType = \"generated\"\n";
  }
  text += "guestOS = \"windows9-64\"\nchecksum.vmState = \"\"\n";
  return text;
}

void BM_CfgBallLookup(benchmark::State& state) {
  CfgBall* ball = CreateCfgBall();
  std::string text = VmxText();
  ball->SetTextUtf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  const char16_t* key = state.range(0) == 0 ? u"config.version" : u"guestOS";  // near the start / at the end
  WCHAR value[256];
  for (auto _ : state) {
    bool found = ball->GetString(u"", key, value, 256);
    benchmark::DoNotOptimize(found);
  }
  state.SetLabel(std::to_string(text.size()) + " bytes");
  ball->Release();
}
BENCHMARK(BM_CfgBallLookup)->Arg(0)->Arg(1);

void BM_CfgBallMissingKey(benchmark::State& state) {
  CfgBall* ball = CreateCfgBall();
  std::string text = VmxText();
  ball->SetTextUtf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  WCHAR value[256];
  for (auto _ : state) benchmark::DoNotOptimize(ball->GetString(u"", u"ide1:0.fileName", value, 256));
  ball->Release();
}
BENCHMARK(BM_CfgBallMissingKey);

// --- Opening a real .vmx: load, probe every IDE, SCSI, SATA and NVMe slot twice ---------------

void BM_OpenVmx(benchmark::State& state) {
  std::string path = "Z:" + std::string(VMPEEK_BENCH_DIR) + "/../tests/data/vmx/vmx2xml-esx-in-the-wild-8.vmx";
  for (char& c : path)
    if (c == '/') c = '\\';
  const std::u16string wide = Utf16(path);
  for (auto _ : state) {
    vmpeek::CVirtualMachine* machine = nullptr;
    if (OpenVirtualMachine(wide.c_str(), &machine) != 0 || !machine) state.SkipWithError("open failed");
    if (machine) machine->Release();
  }
}
BENCHMARK(BM_OpenVmx);

// --- Sparse-extent address computation ------------------------------------------------------
// One-sector reads of unallocated grains and blocks cost the lookup and a 512-byte fill, no I/O;
// reads of allocated ones add one positioned read of a cached file.

struct SparseImages {
  std::string vmdk, vhd, child, diff;
  SparseImages() {
    const std::string& d = TheScratch().dir;
    std::string raw = d + "/base.raw";
    MakeRaw(raw, 256);
    vmdk = d + "/sparse.vmdk";
    vhd = d + "/dynamic.vhd";
    Scratch::Sh("qemu-img convert -q -f raw -O vmdk '" + raw + "' '" + vmdk + "'");
    Scratch::Sh("qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on '" + raw + "' '" + vhd + "'");
    // Every other 64 KiB grain and 2 MiB block holds data.
    Scratch::Sh("qemu-io -c 'write -P 0x5a 64M 64k' -c 'write -P 0x5a 66M 2M' -f vmdk '" + vmdk + "' >/dev/null");
    Scratch::Sh("qemu-io -c 'write -P 0x5a 64M 64k' -c 'write -P 0x5a 66M 2M' -f vpc '" + vhd + "' >/dev/null");
  }
};
SparseImages& Images() {
  static SparseImages images;
  return images;
}

void ReadOneSector(benchmark::State& state, const std::string& image, uint64_t sector) {
  VirtualDisk* disk = OpenImage(image);
  if (!disk) {
    state.SkipWithError("image did not open");
    return;
  }
  alignas(4096) uint8_t buffer[512];
  if (disk->Read(sector, 1, buffer) < 0) state.SkipWithError("read failed");
  for (auto _ : state) {
    NTSTATUS status = disk->Read(sector, 1, buffer);
    benchmark::DoNotOptimize(status);
  }
  disk->Release();
}

void BM_VmdkGrainLookupHole(benchmark::State& state) { ReadOneSector(state, Images().vmdk, 300000); }
void BM_VmdkGrainLookupData(benchmark::State& state) { ReadOneSector(state, Images().vmdk, 64 * 2048 + 7); }
void BM_VhdBlockLookupHole(benchmark::State& state) { ReadOneSector(state, Images().vhd, 300000); }
void BM_VhdBlockLookupData(benchmark::State& state) { ReadOneSector(state, Images().vhd, 66 * 2048 + 7); }
BENCHMARK(BM_VmdkGrainLookupHole);
BENCHMARK(BM_VmdkGrainLookupData);
BENCHMARK(BM_VhdBlockLookupHole);
BENCHMARK(BM_VhdBlockLookupData);

// A differencing VHD read over a block whose sector bitmap alternates every 8 sectors: the run
// split by bitmap bits, half the sectors from the child, half from the parent.
void BM_VhdBitmapRuns(benchmark::State& state) {
  static std::string child;
  if (child.empty()) {
    const std::string& d = TheScratch().dir;
    std::string parent = d + "/parent.vhd";
    child = d + "/child.vhd";
    std::string raw = d + "/small.raw";
    Scratch::Sh("head -c 16M /dev/urandom > '" + raw + "' && echo 'start=2048, type=7' | sfdisk -q '" + raw +
                "' >/dev/null");
    Scratch::Sh("qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on '" + raw + "' '" + parent + "'");
    // qemu cannot write differencing VHDs: make the child by hand from a dynamic image.
    Scratch::Sh("qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on '" + raw + "' '" + child + "'");
    Scratch::Sh("python3 '" + std::string(VMPEEK_BENCH_DIR) + "/make_vhd_child.py' '" + parent + "' '" + child +
                "' alternate >/dev/null");
  }
  VirtualDisk* disk = OpenImage(child);
  if (!disk) {
    state.SkipWithError("differencing image did not open (python3 and make_vhd_child.py needed)");
    return;
  }
  std::vector<uint8_t> buffer(4096 * 512);
  if (disk->Read(4096, 4096, buffer.data()) < 0) state.SkipWithError("read failed");
  for (auto _ : state) benchmark::DoNotOptimize(disk->Read(4096, 4096, buffer.data()));
  state.SetBytesProcessed(int64_t(state.iterations()) * 4096 * 512);
  disk->Release();
}
BENCHMARK(BM_VhdBitmapRuns);

// --- The extent-set split -----------------------------------------------------------------
// A disk of 64 flat extents of 8 sectors each; one request covering all of them is cut into 64
// pieces, each one positioned read of a cached file.

void BM_ExtentSetSplit(benchmark::State& state) {
  const std::string& d = TheScratch().dir;
  const int extents = static_cast<int>(state.range(0));
  VMDKExtentSet set(nullptr);
  set.m_ReadOnly = 1;
  for (int i = 0; i < extents; ++i) {
    std::string file = d + "/flat-" + std::to_string(i) + ".bin";
    Scratch::Sh("truncate -s 4096 '" + file + "'");
    std::u16string path = NtPath(file);
    set.AddFlatExtent(path.c_str(), 8);
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(extents) * 8 * 512);
  for (auto _ : state) benchmark::DoNotOptimize(set.Read(0, static_cast<uint32_t>(extents) * 8, buffer.data()));
  state.SetItemsProcessed(int64_t(state.iterations()) * extents);
}
BENCHMARK(BM_ExtentSetSplit)->Arg(4)->Arg(64);

// --- Ordered writes ------------------------------------------------------------------------
// The flush that orders a growing write's steps: a 2 MiB positioned write of a file on disk,
// alone (/0) and followed by ZwFlushBuffersFile (/1); and 2 MiB writes that each allocate a new
// block of a dynamic VHD (data, flush, bitmap, flush, table sector) or new grains of a sparse
// VMDK (grains, flush, primary table, flush, redundant table).

void BM_FlushedWrite(benchmark::State& state) {
  const std::string file = TheScratch().dir + "/flushed.bin";
  Scratch::Sh("truncate -s 2M '" + file + "'");
  std::u16string path = NtPath(file);
  HANDLE h = nullptr;
  if (ZwCreateFile(&h, 0xC0100000, path.c_str(), 0x240, 1, 1, 0x68) < 0) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<uint8_t> data(2 << 20, 0x5a);
  for (auto _ : state) {
    uint32_t done = 0;
    benchmark::DoNotOptimize(ZwWriteFile(h, data.data(), static_cast<uint32_t>(data.size()), 0, &done));
    if (state.range(0)) benchmark::DoNotOptimize(ZwFlushBuffersFile(h));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
  ZwClose(h);
}
BENCHMARK(BM_FlushedWrite)->Arg(0)->Arg(1)->UseRealTime();

void GrowingWrite(benchmark::State& state, const char* format, const std::string& name) {
  const std::string& d = TheScratch().dir;
  const std::string image = d + "/" + name;
  MakeRaw(d + "/grow.raw", 1024);
  Scratch::Sh("qemu-img convert -q -f raw -O " + std::string(format) + " '" + d + "/grow.raw' '" + image + "'");
  std::u16string path = NtPath(image);
  VirtualDisk* disk = OpenVirtualDisk(path.c_str());
  if (!disk || disk->Open(0) < 0) {
    if (disk) disk->Release();
    state.SkipWithError("image did not open for writing");
    return;
  }
  std::vector<uint8_t> data(4096 * 512, 0x5a);
  uint64_t sector = 4096;
  for (auto _ : state) {
    benchmark::DoNotOptimize(disk->Write(sector, 4096, data.data()));
    sector += 4096;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
  disk->Release();
}
void BM_VhdGrowingWrite(benchmark::State& state) { GrowingWrite(state, "vpc -o subformat=dynamic,force_size=on", "grow.vhd"); }
void BM_VmdkGrowingWrite(benchmark::State& state) { GrowingWrite(state, "vmdk", "grow.vmdk"); }
BENCHMARK(BM_VhdGrowingWrite)->Iterations(200)->UseRealTime();
BENCHMARK(BM_VmdkGrowingWrite)->Iterations(200)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
