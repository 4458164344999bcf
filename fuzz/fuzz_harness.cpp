#include "fuzz_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "disk/open_virtual_disk.h"
#include "module/trace.h"
#include "platform/crc32.h"
#include "platform/endian.h"
#include "platform/win_registry.h"
#include "platform/wstr.h"
#include "vm/cfg_ball.h"
#include "vm/open_virtual_machine.h"
#include "vmpeek/vmpeek.h"
#include "quilldrv/request_records.h"
#include "quilldrv/volume_driver.h"

// Allocation hooks of the sanitizer runtimes; absent (null) in a build without sanitizers.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                              void (*)(const volatile void*)) __attribute__((weak));
size_t __sanitizer_get_allocated_size(const volatile void*) __attribute__((weak));
}

namespace vmfuzz {
namespace {

// ---- Resource bounds -------------------------------------------------------------------------

// Bytes allocated and not yet freed since the run began, and the highest value seen.
std::atomic<int64_t> g_Live{0};
std::atomic<int64_t> g_Peak{0};
std::atomic<bool> g_Counting{false};

void OnMalloc(const volatile void*, size_t size) {
  if (!g_Counting.load(std::memory_order_relaxed)) return;
  int64_t now = g_Live.fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
  int64_t peak = g_Peak.load();
  while (now > peak && !g_Peak.compare_exchange_weak(peak, now)) {
  }
}

void OnFree(const volatile void* p) {
  if (!g_Counting.load(std::memory_order_relaxed) || p == nullptr) return;
  g_Live.fetch_sub(static_cast<int64_t>(__sanitizer_get_allocated_size(p)));
}

const std::string& ScratchDir();

// Counts the heap in use while a run lasts and aborts when its peak passes the bound for the
// files the run made: 4 x their size + 64 MiB.
class AllocationBound {
 public:
  AllocationBound() {
    ScratchDir();  // installs the allocation hooks on first use
    g_Live = 0;
    g_Peak = 0;
    g_Counting = true;
  }
  ~AllocationBound() { g_Counting = false; }
  void Check(uint64_t fileBytes) {
    g_Counting = false;
    const int64_t bound = static_cast<int64_t>(4 * fileBytes + (64ull << 20));
    if (getenv("VMFUZZ_SHOW_PEAK") != nullptr)
      fprintf(stderr, "vmfuzz: heap peak %lld bytes, bound %lld\n", static_cast<long long>(g_Peak.load()),
              static_cast<long long>(bound));
    if (g_Peak.load() > bound) {
      fprintf(stderr, "vmfuzz: heap peak %lld bytes exceeds the bound %lld (files %llu bytes)\n",
              static_cast<long long>(g_Peak.load()), static_cast<long long>(bound),
              static_cast<unsigned long long>(fileBytes));
      abort();
    }
  }
};

// ---- The scratch folder ----------------------------------------------------------------------

// Removes every file in dir (the library creates only files there, never folders).
void EmptyFolder(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    unlink((dir + "/" + e->d_name).c_str());
  }
  closedir(d);
}

// Folders left by fuzzing processes that died (a crash or a timeout ends them without cleanup).
void RemoveStaleFolders() {
  DIR* d = opendir("/dev/shm");
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    unsigned long pid = 0;
    if (sscanf(e->d_name, "vmpeek-fuzz-%lu", &pid) != 1 || pid == 0) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::string dir = std::string("/dev/shm/") + e->d_name;
    EmptyFolder(dir);
    rmdir(dir.c_str());
  }
  closedir(d);
}

struct Scratch {
  std::string dir;
  ~Scratch() {
    if (dir.empty()) return;
    EmptyFolder(dir);
    rmdir(dir.c_str());
  }
};

// The per-process scratch folder on tmpfs. Drive Z: is mapped to it, so every path an input
// can name (absolute parent locators included) stays inside it; files may not grow past
// 256 MiB there (a write past the limit fails with EFBIG).
const std::string& ScratchDir() {
  static Scratch scratch;
  if (scratch.dir.empty()) {
    RemoveStaleFolders();
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    scratch.dir = std::string(base) + "/vmpeek-fuzz-" + std::to_string(getpid());
    mkdir(scratch.dir.c_str(), 0700);
    setenv("VMPEEK_DRIVE_Z", scratch.dir.c_str(), 1);
    // Traces stay in memory (formatted, never printed) unless VMFUZZ_TRACE asks for them.
    if (getenv("VMFUZZ_TRACE") == nullptr) unsetenv("VEXLOG");
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {256ull << 20, 256ull << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    LoadTraceLibrary();
    if (__sanitizer_install_malloc_and_free_hooks && __sanitizer_get_allocated_size)
      __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
  }
  return scratch.dir;
}

// The files of one run: written on creation, all removed (with anything the library added)
// when the run ends.
class RunFiles {
 public:
  RunFiles() : m_Dir(ScratchDir()) { EmptyFolder(m_Dir); }
  ~RunFiles() { EmptyFolder(m_Dir); }
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;

  // Writes bytes as name; sparse pieces may be added later with Place.
  void Write(const std::string& name, const uint8_t* data, size_t size) {
    int fd = open((m_Dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return;
    size_t done = 0;
    while (done < size) {
      ssize_t n = write(fd, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
    m_Bytes += size;
  }
  void Write(const std::string& name, const std::string& text) {
    Write(name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  // A file of `length` bytes (holes read as zeros).
  void Sized(const std::string& name, uint64_t length) {
    int fd = open((m_Dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return;
    if (ftruncate(fd, static_cast<off_t>(length)) == 0) m_Bytes += length;
    close(fd);
  }
  void Place(const std::string& name, uint64_t offset, const uint8_t* data, size_t size) {
    int fd = open((m_Dir + "/" + name).c_str(), O_WRONLY);
    if (fd < 0) return;
    if (pwrite(fd, data, size, static_cast<off_t>(offset)) < 0) {
      // A piece that does not fit is dropped; the run goes on with what was written.
    }
    close(fd);
  }
  // Total size of the files the run made.
  uint64_t Bytes() const { return m_Bytes; }

 private:
  const std::string& m_Dir;
  uint64_t m_Bytes = 0;
};

// ---- Exercising the objects ------------------------------------------------------------------

// A small deterministic stream of numbers from the input, so the fuzzer steers which sectors
// are touched.
class Picker {
 public:
  Picker(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) m_State = (m_State ^ data[i]) * 0x100000001B3ull;
  }
  uint64_t Next() {
    m_State ^= m_State >> 33;
    m_State *= 0xFF51AFD7ED558CCDull;
    m_State ^= m_State >> 29;
    return m_State;
  }

 private:
  uint64_t m_State = 0xCBF29CE484222325ull;
};

constexpr uint32_t kMaxSectors = 64;

// The status of the last open (disk or machine) a run made.
uint32_t g_LastOpenStatus = 0;

void ExercisePartition(vmpeek::VirtualPartition* part, bool write, Picker& pick) {
  uint8_t type = 0;
  uint64_t length = 0, first = 0;
  part->GetInfo(&type, &length, &first);
  uint32_t media = 0, bytesPerSector = 0, tracks = 0, perTrack = 0;
  uint64_t sectors = 0, cylinders = 0;
  part->GetGeometry(&media, &bytesPerSector, &sectors, &cylinders, &tracks, &perTrack);
  part->GetGeometry(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  uint8_t id[16];
  part->GetUniqueId(id);
  const bool readOnly = part->IsReadOnly() != 0;
  std::vector<uint8_t> buffer(kMaxSectors * 512);
  const uint64_t count = length / 512;
  part->Read(0, 1, buffer.data());
  if (count > 0) {
    part->Read(count - 1, 1, buffer.data());
    part->Read(count - 1, 2, buffer.data());
    part->Read(pick.Next() % count, static_cast<uint32_t>(std::min<uint64_t>(count, 8)), buffer.data());
  }
  part->Read(count, 1, buffer.data());
  part->Read(~0ull - 1, 4, buffer.data());
  if (write && !readOnly && count > 0) {
    const uint64_t at = pick.Next() % count;
    if (part->Read(at, 1, buffer.data()) >= 0) part->Write(at, 1, buffer.data());
  }
  part->Write(count, 1, buffer.data());
}

// Reads, writes (on a disk open for writing) and walks the partitions of an open disk.
void ExerciseDisk(vmpeek::VirtualDisk* disk, Picker& pick) {
  uint32_t media = 0, bytesPerSector = 0, tracks = 0, perTrack = 0;
  uint64_t n = 0, cylinders = 0;
  disk->GetGeometry(&media, &bytesPerSector, &n, &cylinders, &tracks, &perTrack);
  disk->GetFileName();
  disk->IsSavedState();
  uint64_t size = 0;
  if (disk->GetParentFileName(nullptr, &size) == static_cast<NTSTATUS>(0xC0000023) && size > 0 && size < (1u << 20)) {
    std::vector<WCHAR> name(size);
    disk->GetParentFileName(name.data(), &size);
  }
  const bool write = disk->IsReadOnly() == 0;
  const size_t sectorBytes = bytesPerSector == 2048 ? 2048 : 512;
  std::vector<uint8_t> head(kMaxSectors * sectorBytes), buffer(kMaxSectors * sectorBytes);
  const uint32_t headCount = static_cast<uint32_t>(std::min<uint64_t>(n, kMaxSectors));
  const bool haveHead = disk->Read(0, headCount, head.data()) >= 0;
  if (n > 0) {
    disk->Read(n - 1, 1, buffer.data());
    disk->Read(n - 1, 2, buffer.data());
    for (int i = 0; i < 3; ++i) {
      const uint64_t at = pick.Next() % n;
      disk->Read(at, static_cast<uint32_t>(std::min<uint64_t>(n - at, 1 + pick.Next() % kMaxSectors)),
                 buffer.data());
    }
  }
  disk->Read(n, 0, buffer.data());
  disk->Read(n, 1, buffer.data());
  disk->Read(~0ull, 1, buffer.data());

  if (write && n > 0) {
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 7 + 1);
    for (int i = 0; i < 3; ++i) {
      const uint64_t at = pick.Next() % n;
      const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(n - at, 1 + pick.Next() % 8));
      if (disk->Write(at, count, buffer.data()) >= 0) disk->Read(at, count, buffer.data());
    }
    disk->Write(n - 1, 1, buffer.data());
    if (haveHead) disk->Write(0, headCount, head.data());  // the partition table stays as it was
    disk->Write(n, 1, buffer.data());
  }

  const uint8_t partitions = disk->GetPartitionCount();
  for (unsigned i = 0; i <= partitions; ++i) {
    vmpeek::VirtualPartition* part = nullptr;
    if (disk->GetPartition(static_cast<uint8_t>(i), &part) != 0 || part == nullptr) continue;
    ExercisePartition(part, write, pick);
    part->Release();
  }
}

// Opens Z:\<name> read-write through the mount control's path and exercises what opened.
void OpenAndExercise(const char* name, Picker& pick) {
  std::u16string path = u"Z:\\" + Utf8ToUtf16(name);
  vmpeek::VirtualDisk* disk = nullptr;
  const NTSTATUS status = MountOpenVirtualDisk(path.c_str(), 0, &disk);
  g_LastOpenStatus = static_cast<uint32_t>(status);
  if (status < 0 || disk == nullptr) return;
  disk->AddRef();
  ExerciseDisk(disk, pick);
  disk->Release();
  disk->Release();
}

// ---- Targets ---------------------------------------------------------------------------------

// A descriptor and its extent and parent files: the pieces become disk.vmdk, 1.vmdk, 2.vmdk ...
void RunVmdkDescriptor(const uint8_t* data, size_t size) {
  AllocationBound bound;
  {
    RunFiles files;
    auto parts = SplitFiles(data, size, 8);
    for (size_t i = 0; i < parts.size(); ++i)
      files.Write(i == 0 ? "disk.vmdk" : std::to_string(i) + ".vmdk", parts[i].first, parts[i].second);
    Picker pick(data, size);
    OpenAndExercise("disk.vmdk", pick);
    bound.Check(files.Bytes());
  }
}

// One sparse extent (first piece) under a descriptor made here, sized from the extent's header;
// a second piece becomes the parent's flat extent.
void RunSparseExtent(const uint8_t* data, size_t size, bool esx) {
  AllocationBound bound;
  {
    RunFiles files;
    auto parts = SplitFiles(data, size, 2);
    const uint8_t* p = parts[0].first;
    const size_t n = parts[0].second;
    uint64_t capacity = 0;
    if (esx && n >= 16) capacity = LoadLE32(p + 12);
    if (!esx && n >= 20) capacity = LoadLE64(p + 12);
    capacity = std::clamp<uint64_t>(capacity, 1, 0x7FFFFFFF);
    const char* extent = esx ? "s-delta.vmdk" : "s.vmdk";
    files.Write(extent, p, n);
    std::string parent;
    if (parts.size() > 1) {
      const uint64_t parentSectors = std::max<uint64_t>(1, (parts[1].second + 511) / 512);
      files.Write("p-flat.vmdk", parts[1].first, parts[1].second);
      files.Sized("p-flat.vmdk", parentSectors * 512);
      files.Place("p-flat.vmdk", 0, parts[1].first, parts[1].second);
      files.Write("p.vmdk", "# Disk DescriptorFile\nversion=1\nCID=00000001\nparentCID=ffffffff\n"
                            "# Extent description\nRW " + std::to_string(parentSectors) +
                            " FLAT \"p-flat.vmdk\" 0\n\n# The Disk Data Base \n"
                            "ddb.geometry.cylinders = \"1024\"\nddb.geometry.heads = \"16\"\n"
                            "ddb.geometry.sectors = \"63\"\n");
      parent = "parentFileNameHint=\"p.vmdk\"\n";
    }
    files.Write("disk.vmdk", "# Disk DescriptorFile\nversion=1\nCID=00000002\nparentCID=" +
                                 std::string(parent.empty() ? "ffffffff" : "00000001") + "\n" + parent +
                                 "# Extent description\nRW " + std::to_string(capacity) +
                                 (esx ? " VMFSSPARSE \"" : " SPARSE \"") + extent +
                                 "\"\n\n# The Disk Data Base \nddb.geometry.cylinders = \"1024\"\n"
                                 "ddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\n");
    Picker pick(data, size);
    OpenAndExercise("disk.vmdk", pick);
    bound.Check(files.Bytes());
  }
}

void RunHostedSparse(const uint8_t* data, size_t size) { RunSparseExtent(data, size, false); }
void RunEsxSparse(const uint8_t* data, size_t size) { RunSparseExtent(data, size, true); }

// A VHD image: the pieces become disk.vhd, p.vhd, disk.v01 and g.vhd (a parent, a continuation
// file and a grandparent).
void RunVhd(const uint8_t* data, size_t size) {
  AllocationBound bound;
  {
    RunFiles files;
    static const char* const kNames[] = {"disk.vhd", "p.vhd", "disk.v01", "g.vhd"};
    auto parts = SplitFiles(data, size, 4);
    for (size_t i = 0; i < parts.size(); ++i)
      if (parts[i].second > 0) files.Write(kNames[i], parts[i].first, parts[i].second);  // empty: absent
    Picker pick(data, size);
    OpenAndExercise("disk.vhd", pick);
    bound.Check(files.Bytes());
  }
}

// Appends a fixed-VHD footer to `bytes` of raw disk in `name` (sized beforehand).
void PlaceFixedFooter(RunFiles& files, const char* name, uint64_t bytes) {
  const uint64_t sectors = bytes / 512;
  uint8_t footer[512] = {};
  memcpy(footer, "conectix", 8);
  StoreBE32(footer + 8, 2);
  StoreBE32(footer + 12, 0x00010000);
  StoreBE64(footer + 16, ~0ull);
  memcpy(footer + 28, "vmpk", 4);
  memcpy(footer + 36, "Wi2k", 4);
  StoreBE64(footer + 40, bytes);
  StoreBE64(footer + 48, bytes);
  StoreBE16(footer + 56, static_cast<uint16_t>(std::min<uint64_t>(65535, std::max<uint64_t>(1, sectors / (16 * 63)))));
  footer[58] = 16;
  footer[59] = 63;
  StoreBE32(footer + 60, 2);
  footer[68] = 0x5a;
  uint32_t sum = 0;
  for (uint8_t b : footer) sum += b;
  StoreBE32(footer + 64, ~sum);
  files.Place(name, bytes, footer, sizeof footer);
}

// Writes disk.vhd, a fixed VHD of the input's disk: the input is the disk's bytes from sector
// `base` on, or, after the magic "VMPKSPRS", a sparse form: u32 disk sectors (at most 131072),
// then pieces of u32 sector, u32 length and the bytes (sectors counted from `base`); a length
// with its top bit set is a fill: the rest of it is a byte count, and one byte follows.
void WriteFixedVhd(RunFiles& files, const uint8_t* data, size_t size, uint64_t base) {
  uint64_t sectors = (size + 511) / 512;
  const bool sparse = size >= 12 && memcmp(data, "VMPKSPRS", 8) == 0;
  if (sparse) sectors = std::clamp<uint64_t>(LoadLE32(data + 8), 1, 131072);
  if (sectors == 0) sectors = 1;
  sectors += base;
  const uint64_t bytes = sectors * 512;
  files.Sized("disk.vhd", bytes + 512);
  if (sparse) {
    size_t at = 12;
    while (at + 8 <= size) {
      const uint64_t sector = LoadLE32(data + at) + base;
      const uint32_t field = LoadLE32(data + at + 4);
      if (field & 0x80000000u) {
        // A fill piece: length without the top bit, then the one byte repeated.
        if (at + 9 > size) break;
        uint64_t left = sector < sectors ? std::min<uint64_t>(field & 0x7FFFFFFFu, bytes - sector * 512) : 0;
        std::vector<uint8_t> fill(static_cast<size_t>(std::min<uint64_t>(left, 1u << 20)), data[at + 8]);
        for (uint64_t off = sector * 512; left > 0;) {
          const size_t n = static_cast<size_t>(std::min<uint64_t>(left, fill.size()));
          files.Place("disk.vhd", off, fill.data(), n);
          off += n;
          left -= n;
        }
        at += 9;
        continue;
      }
      size_t length = std::min<size_t>(field, size - at - 8);
      at += 8;
      if (sector < sectors) {
        const size_t room = static_cast<size_t>(std::min<uint64_t>(length, bytes - sector * 512));
        files.Place("disk.vhd", sector * 512, data + at, room);
      }
      at += length;
    }
  } else {
    files.Place("disk.vhd", base * 512, data, size);
  }
  PlaceFixedFooter(files, "disk.vhd", bytes);
  if (base > 0) {
    // One MBR partition over everything after sector `base`.
    uint8_t mbr[512] = {};
    mbr[446 + 4] = 0x07;
    StoreLE32(mbr + 446 + 8, static_cast<uint32_t>(base));
    StoreLE32(mbr + 446 + 12, static_cast<uint32_t>(sectors - base));
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    files.Place("disk.vhd", 0, mbr, sizeof mbr);
  }
}

// A raw disk for partition discovery (MBR, extended chains, LDM), wrapped as a fixed VHD.
void RunPartitions(const uint8_t* data, size_t size) {
  AllocationBound bound;
  {
    RunFiles files;
    WriteFixedVhd(files, data, size, 0);
    Picker pick(data, size);
    OpenAndExercise("disk.vhd", pick);
    bound.Check(files.Bytes());
  }
}

bool IsZeroSector(const uint8_t* p) {
  for (int i = 0; i < 512; ++i)
    if (p[i] != 0) return false;
  return true;
}

// Makes the CRCs of the GPT header at `lba` of the disk match its contents, so that fuzzing
// reaches the checks behind them.
void FixGptCrcs(std::vector<uint8_t>& disk, uint64_t lba) {
  uint8_t* h = &disk[lba * 512];
  const uint64_t at = LoadLE64(h + 72), arrayBytes = uint64_t{LoadLE32(h + 80)} * LoadLE32(h + 84);
  if (at < disk.size() / 512 && arrayBytes <= disk.size() - at * 512)
    StoreLE32(h + 88, Crc32(&disk[at * 512], static_cast<size_t>(arrayBytes)));
  StoreLE32(h + 16, 0);
  StoreLE32(h + 16, Crc32(h, std::clamp<uint32_t>(LoadLE32(h + 12), 92, 512)));
}

// A GPT disk behind a protective MBR, wrapped as a fixed VHD. Input: a flags byte (bit 0: a
// backup header at the last sector, bit 1: keep the input's CRCs, bit 2: the backup gets its
// own copy of the array just before it, bit 3: spoil the primary's CRC), u32 disk sectors (3 to 8192), the primary header sector
// (512 bytes), the entry array. The array is placed where the header points when that lies past
// sector 1 inside the disk, else at sector 2.
void RunGpt(const uint8_t* data, size_t size) {
  AllocationBound bound;
  {
    RunFiles files;
    const uint8_t flags = size > 0 ? data[0] : 0;
    const uint64_t sectors = size >= 5 ? std::clamp<uint64_t>(LoadLE32(data + 1), 3, 8192) : 64;
    const size_t headerBytes = size > 5 ? std::min<size_t>(512, size - 5) : 0;
    const uint8_t* entries = size > 5 + 512 ? data + 5 + 512 : data;
    const size_t entryBytes = size > 5 + 512 ? size - 5 - 512 : 0;
    std::vector<uint8_t> disk(sectors * 512);
    if (headerBytes > 0) memcpy(&disk[512], data + 5, headerBytes);
    auto place = [&](uint64_t lba) {
      if (lba >= 2 && lba < sectors) memcpy(&disk[lba * 512], entries, std::min<uint64_t>(entryBytes, (sectors - lba) * 512));
    };
    const uint64_t entryLba = LoadLE64(&disk[512 + 72]);
    place(entryLba >= 2 && entryLba < sectors ? entryLba : 2);
    disk[446 + 4] = 0xEE;
    StoreLE32(&disk[446 + 8], 1);
    StoreLE32(&disk[446 + 12], static_cast<uint32_t>(sectors - 1));
    disk[510] = 0x55;
    disk[511] = 0xAA;
    const uint64_t last = sectors - 1;
    if (flags & 1) {
      uint8_t* b = &disk[last * 512];
      memcpy(b, &disk[512], 512);
      StoreLE64(b + 24, last);
      StoreLE64(b + 32, 1);
      const uint64_t own = (uint64_t{LoadLE32(b + 80)} * LoadLE32(b + 84) + 511) / 512;
      if ((flags & 4) && own + 2 < last) {
        place(last - own);
        StoreLE64(b + 72, last - own);
      }
    }
    if (!(flags & 2)) {
      FixGptCrcs(disk, 1);
      if (flags & 1) FixGptCrcs(disk, last);
    }
    if (flags & 8) disk[512 + 16] ^= 1;  // a primary that only the backup can replace
    files.Sized("disk.vhd", disk.size() + 512);
    for (uint64_t at = 0; at < sectors;) {  // only the runs of non-zero sectors: the file stays sparse
      uint64_t end = at;
      while (end < sectors && !IsZeroSector(&disk[end * 512])) ++end;
      if (end > at) files.Place("disk.vhd", at * 512, &disk[at * 512], (end - at) * 512);
      at = end + 1;
    }
    PlaceFixedFooter(files, "disk.vhd", disk.size());
    Picker pick(data, size);
    OpenAndExercise("disk.vhd", pick);
    bound.Check(files.Bytes());
  }
}

// The volume driver's request records, as a host (or anything calling the driver) may send
// them: byte 0 picks the request, byte 1 the reply size, the rest is the record. Mount records
// are only parsed: a mount would open whatever host file the input names.
void RunQuillRecords(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const uint32_t code = data[0] % 8;
  std::vector<uint8_t> in(data + 2, data + size);
  std::vector<uint8_t> out(data[1]);
  uint64_t returned = 0;
  MountRecord mount;
  FileRedirectionRecord file;
  RegistryRedirectionRecord registry;
  uint64_t id = 0;
  ParseMountRecord(in.data(), in.size(), &mount);
  ParseIdRecord(in.data(), in.size(), &id);
  ParseFileRedirectionRecord(in.data(), in.size(), &file);
  ParseRegistryRedirectionRecord(in.data(), in.size(), &registry);
  if (code != VMMount_IoCtl_Mount)
    VolumeDriver::Instance().IoCtl(code, in.empty() ? nullptr : in.data(), in.size(), out.empty() ? nullptr : out.data(),
                                   out.size(), &returned);
  VolumeDriver::Instance().IoCtl(VMMount_IoCtl_StopVirtualisation, nullptr, 0, nullptr, 0, nullptr);
}

// Lists a directory of a mounted volume and works with up to 8 of its entries: information,
// the first 64 KiB of files, one level of subdirectories.
void ExerciseVolumeDirectory(VolumeProvider& volume, const std::u16string& dir, int depth) {
  std::vector<VolumeDirEntry> entries;
  volume.ListDirectory(dir, [&](const VolumeDirEntry& e) {
    entries.push_back(e);
    return entries.size() < 8;
  });
  std::vector<uint8_t> buffer(65536);
  for (const VolumeDirEntry& e : entries) {
    std::u16string path = (dir == u"\\" ? dir : dir + u"\\") + e.name;
    VolumeFileInfo info;
    volume.GetInfo(path, &info);
    if (info.attributes & 0x10) {
      if (depth > 0) ExerciseVolumeDirectory(volume, path, depth - 1);
      continue;
    }
    std::unique_ptr<VolumeFile> f;
    bool created = false;
    if (volume.Open(path, VOLUME_OPEN_READ, 3, 0, &f, &created) != 0 || !f) continue;
    uint32_t done = 0;
    f->Read(0, buffer.data(), static_cast<uint32_t>(buffer.size()), &done);
    f->GetInfo(&info);
    f->Close();
  }
}

// A filesystem volume (raw, or in the sparse form above) in partition 0 of a fixed VHD, mounted
// through the volume driver, read-only or writable as the input's last byte asks: the probe,
// the first directory walks and, on a writable mount, a file created, written, renamed and
// deleted.
void RunQuillVolume(const uint8_t* data, size_t size) {
  AllocationBound bound;
  {
    RunFiles files;
    WriteFixedVhd(files, data, size, 1);
    const bool writable = size > 0 && (data[size - 1] & 1);
    std::u16string path = u"\\??\\Z:\\disk.vhd";
    std::vector<uint8_t> record(2 * (path.size() + 1) + 4, 0);
    record[1] = writable ? 0 : 1;
    for (size_t i = 0; i < path.size(); ++i) StoreLE16(&record[2 + 2 * i], path[i]);
    uint8_t reply[MOUNT_REPLY_BYTES];
    VolumeDriver& driver = VolumeDriver::Instance();
    g_LastOpenStatus = driver.IoCtl(VMMount_IoCtl_Mount, record.data(), record.size(), reply, sizeof reply, nullptr);
    if (g_LastOpenStatus == 0) {
      const uint64_t id = LoadLE64(reply);
      if (std::shared_ptr<VolumeProvider> volume = driver.ProviderFor(id)) {
        ExerciseVolumeDirectory(*volume, u"\\", 1);
        std::unique_ptr<VolumeFile> f;
        bool created = false;
        if (!volume->IsReadOnly() && volume->Open(u"\\fuzz.txt", VOLUME_OPEN_WRITE, 2, 0, &f, &created) == 0) {
          uint32_t done = 0;
          f->Write(100, data, static_cast<uint32_t>(std::min<size_t>(size, 8192)), &done);
          f->SetSize(50);
          f->Close();
          f.reset();
          volume->Rename(u"\\fuzz.txt", u"\\fuzz2.txt", true);
          volume->DeleteFile(u"\\fuzz2.txt");
        }
        volume->Flush();
      }
      driver.IoCtl(VMMount_IoCtl_UnMount, reply, 8, nullptr, 0, nullptr);
    }
    bound.Check(files.Bytes());
  }
}

// A name from a script argument: "~" stands for none.
struct Name {
  std::u16string text;
  bool null = false;
  const WCHAR* get() const { return null ? nullptr : text.c_str(); }
};

Name ToName(const std::string& s) {
  Name n;
  if (s == "~") n.null = true;
  else n.text = Utf8ToUtf16(s);
  return n;
}

// A configuration text (first piece; starting with FF FE it is UTF-16) and a script of edits
// and lookups (second piece), one per line: an operation letter and arguments separated by '|'.
//   g S|K  get   s S|K|V  set   n S|K|W  get number   N S|K|W|V  set number   d S  delete section
//   k S|K  delete key   e  sections   E S  keys   t  text   c  clear   u TEXT  new UTF-8 text
void RunCfgBall(const uint8_t* data, size_t size) {
  AllocationBound bound;
  {
    auto parts = SplitFiles(data, size, 2);
    CfgBall* ball = CreateCfgBall();
    if (ball == nullptr) return;
    const uint8_t* text = parts[0].first;
    const size_t textSize = parts[0].second;
    if (textSize >= 2 && text[0] == 0xFF && text[1] == 0xFE) {
      std::u16string wide((textSize - 2) / 2, u'\0');
      memcpy(wide.data(), text + 2, wide.size() * 2);
      ball->SetText(wide.data(), wide.size());
    } else {
      ball->SetTextUtf8(text, textSize);
    }
    std::string script = parts.size() > 1 ? std::string(reinterpret_cast<const char*>(parts[1].first),
                                                         parts[1].second)
                                           : std::string("e\nt\n");
    size_t start = 0;
    for (int steps = 0; steps < 256 && start < script.size(); ++steps) {
      size_t end = script.find('\n', start);
      if (end == std::string::npos) end = script.size();
      const std::string line = script.substr(start, end - start);
      start = end + 1;
      if (line.empty()) continue;
      std::vector<std::string> args;
      for (size_t a = std::min<size_t>(2, line.size());;) {
        size_t bar = line.find('|', a);
        args.push_back(line.substr(a, bar == std::string::npos ? std::string::npos : bar - a));
        if (bar == std::string::npos) break;
        a = bar + 1;
      }
      while (args.size() < 4) args.push_back("~");
      const Name s = ToName(args[0]), k = ToName(args[1]), v = ToName(args[2]);
      const int32_t width = static_cast<int32_t>(strtol(args[2].c_str(), nullptr, 0));
      switch (line[0]) {
        case 'g': {
          uint64_t length = ball->GetValueLength(s.get(), k.get());
          std::u16string value(static_cast<size_t>(std::min<uint64_t>(length + 1, 1u << 20)), u'\0');
          ball->GetString(s.get(), k.get(), value.data(), value.size());
          WCHAR small[3];
          ball->GetString(s.get(), k.get(), small, 3);
          ball->GetString(s.get(), k.get(), nullptr, 0);
          break;
        }
        case 's': ball->SetString(s.get(), k.get(), v.get()); break;
        case 'n': {
          uint64_t out = 0;
          ball->GetNumber(s.get(), k.get(), width, &out);
          ball->GetNumber(s.get(), k.get(), width, nullptr);
          break;
        }
        case 'N': ball->SetNumber(s.get(), k.get(), width, strtoll(args[3].c_str(), nullptr, 0)); break;
        case 'd': ball->DeleteSection(s.get()); break;
        case 'k': ball->DeleteKey(s.get(), k.get()); break;
        case 'e':
        case 'E': {
          CfgBallEnum* names = line[0] == 'e' ? ball->EnumSections() : ball->EnumKeys(s.get());
          if (names == nullptr) break;
          WCHAR name[8];
          for (int i = 0; i < 10000 && names->Next(name, 8); ++i) {
          }
          names->Reset();
          names->Next(nullptr, 0);
          names->Release();
          break;
        }
        case 't': {
          std::u16string all(static_cast<size_t>(std::min<uint64_t>(ball->GetText(nullptr, 0), 1u << 22)), u'\0');
          ball->GetText(all.data(), all.size());
          const uint64_t utf8 = ball->GetTextUtf8(nullptr, 0);
          std::string bytes(static_cast<size_t>(std::min<uint64_t>(utf8, 1u << 22)), '\0');
          ball->GetTextUtf8(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
          uint8_t few[5];
          ball->GetTextUtf8(few, sizeof few);
          break;
        }
        case 'c': ball->Clear(); break;
        case 'u': {
          const std::string t = line.substr(std::min<size_t>(2, line.size()));
          ball->SetTextUtf8(reinterpret_cast<const uint8_t*>(t.c_str()), kCfgNulTerminated);
          break;
        }
        default: break;
      }
    }
    ball->Release();
    bound.Check(size);
  }
}

// A configuration file opened through the machine factory, with every query asked.
void RunMachine(const uint8_t* data, size_t size, const char* name) {
  AllocationBound bound;
  {
    RunFiles files;
    files.Write(name, data, size);
    std::u16string path = u"Z:\\" + Utf8ToUtf16(name);
    vmpeek::CVirtualMachine* machine = nullptr;
    g_LastOpenStatus = OpenVirtualMachine(path.c_str(), &machine);
    if (machine != nullptr) {
      const int32_t count = machine->GetDiskCount();
      for (int32_t i = -1; i <= count && i < 1000; ++i) machine->GetDiskName(i);
      machine->IsSuspended();
      machine->GetGuestOperatingSystem();
      machine->Release();
    }
    bound.Check(files.Bytes());
  }
}

void RunVmx(const uint8_t* data, size_t size) { RunMachine(data, size, "m.vmx"); }
void RunVmc(const uint8_t* data, size_t size) { RunMachine(data, size, "m.vmc"); }


// Walks a key of a loaded hive: every subkey by index and by name, every value by index and by
// name, within fixed bounds on depth and the number of keys visited.
void WalkKey(HKEY key, int depth, int* budget) {
  if (depth > 24 || --*budget < 0) return;
  uint32_t subKeys = 0, maxName = 0, values = 0, maxValueName = 0, maxValue = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, &maxName, nullptr, &values, &maxValueName,
                       &maxValue, nullptr, nullptr) != 0)
    return;
  std::vector<uint8_t> data(std::min<uint32_t>(maxValue, 1u << 20) + 1);
  WCHAR name[16384];
  for (uint32_t i = 0; i < values && i < 256; ++i) {
    uint32_t n = 16384, type = 0, size = static_cast<uint32_t>(data.size());
    if (RegEnumValueW(key, i, name, &n, nullptr, &type, data.data(), &size) != 0) continue;
    size = static_cast<uint32_t>(data.size());
    RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
  }
  for (uint32_t i = 0; i < subKeys && i < 64 && *budget > 0; ++i) {
    uint32_t n = 256;
    if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != 0) continue;
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != 0) continue;
    WalkKey(sub, depth + 1, budget);
    RegCloseKey(sub);
  }
}

// A hive (with up to two transaction logs after it, for the replay of dirty hives) loaded into
// the registry, walked, changed, flushed and unloaded.
void RunRegistryHive(const uint8_t* data, size_t size) {
  AllocationBound bound;
  {
    RunFiles files;
    auto parts = SplitFiles(data, size, 3);
    static const char* const kNames[] = {"h", "h.LOG1", "h.LOG2"};
    for (size_t i = 0; i < parts.size(); ++i) files.Write(kNames[i], parts[i].first, parts[i].second);
    static bool privileges = [] {
      HANDLE token = nullptr;
      if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
      uint8_t buf[sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES)] = {};
      auto* tp = reinterpret_cast<TOKEN_PRIVILEGES*>(buf);
      tp->PrivilegeCount = 2;
      LookupPrivilegeValueW(nullptr, u"SeRestorePrivilege", &tp->Privileges[0].Luid);
      LookupPrivilegeValueW(nullptr, u"SeBackupPrivilege", &tp->Privileges[1].Luid);
      tp->Privileges[0].Attributes = tp->Privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
      bool ok = AdjustTokenPrivileges(token, 0, tp, 0, nullptr, nullptr);
      CloseHandle(token);
      return ok;
    }();
    if (privileges && RegLoadKeyW(HKEY_LOCAL_MACHINE, u"FuzzHive", u"Z:\\h") == 0) {
      HKEY root = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"FuzzHive", 0, KEY_ALL_ACCESS, &root) == 0) {
        int budget = 2000;
        WalkKey(root, 0, &budget);
        HKEY made = nullptr, link = nullptr;
        const uint32_t v = 1;
        RegSetValueExW(root, u"FuzzValue", 0, REG_DWORD, reinterpret_cast<const uint8_t*>(&v), 4);
        if (RegCreateKeyExW(root, u"FuzzKey\\Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr) == 0)
          RegCloseKey(made);
        if (RegCreateKeyExW(root, u"FuzzLink", 0, nullptr, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK,
                            KEY_ALL_ACCESS, nullptr, &link, nullptr) == 0) {
          const char16_t target[] = u"\\Registry\\Machine\\FuzzHive\\FuzzLink";  // a loop
          RegSetValueExW(link, u"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const uint8_t*>(target),
                         sizeof target - 2);
          HKEY k = nullptr;
          if (RegOpenKeyExW(root, u"FuzzLink", 0, KEY_READ, &k) == 0) RegCloseKey(k);
          ZwDeleteKey(link);
          RegCloseKey(link);
        }
        RegDeleteKeyW(root, u"FuzzKey\\Sub");
        RegDeleteValueW(root, u"FuzzValue");
        RegFlushKey(root);
        RegCloseKey(root);
      }
      RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"FuzzHive");
    }
    bound.Check(files.Bytes());
  }
}

}  // namespace

std::vector<std::pair<const uint8_t*, size_t>> SplitFiles(const uint8_t* data, size_t size,
                                                          size_t maxParts) {
  std::vector<std::pair<const uint8_t*, size_t>> parts;
  const size_t sepLength = sizeof kFileSeparator - 1;
  size_t start = 0;
  if (data == nullptr) size = 0;
  while (parts.size() + 1 < maxParts) {
    const uint8_t* found = nullptr;
    if (size - start >= sepLength) {
      found = static_cast<const uint8_t*>(
          memmem(data + start, size - start, kFileSeparator, sepLength));
    }
    if (found == nullptr) break;
    const size_t at = static_cast<size_t>(found - data);
    parts.emplace_back(data + start, at - start);
    start = at + sepLength;
  }
  parts.emplace_back(data + start, size - start);
  return parts;
}

const std::vector<Target>& Targets() {
  static const std::vector<Target> targets = {
      {"vmdk_descriptor", RunVmdkDescriptor},
      {"vmdk_hosted_sparse", RunHostedSparse},
      {"vmdk_esx_sparse", RunEsxSparse},
      {"vhd", RunVhd},
      {"partitions", RunPartitions},
      {"gpt", RunGpt},
      {"cfgball", RunCfgBall},
      {"vmx", RunVmx},
      {"vmc", RunVmc},
      {"registry_hive", RunRegistryHive},
      {"quilldrv_records", RunQuillRecords},
      {"quilldrv_volume", RunQuillVolume},
  };
  return targets;
}

uint32_t LastOpenStatus() { return g_LastOpenStatus; }

const Target* FindTarget(const std::string& name) {
  for (const Target& t : Targets())
    if (name == t.name) return &t;
  return nullptr;
}

}  // namespace vmfuzz
