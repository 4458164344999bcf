// Times the volume driver on one mounted volume, the way a host reaches it (mount request,
// then the volume's provider):
//   bench_quilldrv read  IMAGE PARTITION PATH          whole file in 1 MiB reads
//   bench_quilldrv list  IMAGE PARTITION               every entry, recursively
//   bench_quilldrv write IMAGE PARTITION PATH MIB      a new file in 1 MiB writes, then unmount
// Prints one line: what, bytes or entries, seconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/endian.h"
#include "platform/path.h"
#include "platform/wstr.h"
#include "quilldrv/request_records.h"
#include "quilldrv/volume_driver.h"

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint64_t Mount(const char* image, int partition, bool writable) {
  std::u16string path = u"\\??\\" + PlatformPosixToWindows(image);
  std::vector<uint8_t> record(2 * (path.size() + 1) + 4, 0);
  record[0] = static_cast<uint8_t>(partition);
  record[1] = writable ? 0 : 1;
  for (size_t i = 0; i < path.size(); ++i) StoreLE16(&record[2 + 2 * i], path[i]);
  uint8_t reply[MOUNT_REPLY_BYTES];
  uint32_t st = VolumeDriver::Instance().IoCtl(VMMount_IoCtl_Mount, record.data(), record.size(), reply, sizeof reply, nullptr);
  if (st) {
    fprintf(stderr, "mount failed with error %u\n", st);
    exit(1);
  }
  return LoadLE64(reply);
}

uint32_t Unmount(uint64_t id) {
  uint8_t rec[8];
  StoreLE64(rec, id);
  return VolumeDriver::Instance().IoCtl(VMMount_IoCtl_UnMount, rec, 8, nullptr, 0, nullptr);
}

std::u16string Inside(const char* path) {
  std::u16string p = u"\\" + Utf8ToUtf16(path[0] == '/' ? path + 1 : path);
  for (char16_t& c : p) c = c == u'/' ? u'\\' : c;
  return p;
}

uint64_t Walk(VolumeProvider& v, const std::u16string& dir) {
  std::vector<std::u16string> subdirs;
  uint64_t n = 0;
  v.ListDirectory(dir, [&](const VolumeDirEntry& e) {
    ++n;
    if (e.info.attributes & 0x10) subdirs.push_back((dir == u"\\" ? dir : dir + u"\\") + e.name);
    return true;
  });
  for (const auto& d : subdirs) n += Walk(v, d);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s read|list|write IMAGE PARTITION [PATH [MIB]]\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const bool write = mode == "write";
  uint64_t id = Mount(argv[2], atoi(argv[3]), write);
  std::shared_ptr<VolumeProvider> v = VolumeDriver::Instance().ProviderFor(id);
  std::vector<char> buf(1 << 20, 'q');
  double start = Now();
  uint64_t amount = 0;
  if (mode == "list") {
    amount = Walk(*v, u"\\");
  } else {
    std::unique_ptr<VolumeFile> f;
    bool created = false;
    uint32_t st = v->Open(Inside(argc > 4 ? argv[4] : ""), write ? VOLUME_OPEN_WRITE : VOLUME_OPEN_READ,
                          write ? 2 : 3, 0, &f, &created);
    if (st) {
      fprintf(stderr, "open failed with error %u\n", st);
      return 1;
    }
    const uint64_t target = write && argc > 5 ? strtoull(argv[5], nullptr, 10) << 20 : 0;
    for (uint32_t done = 0;; amount += done) {
      st = write ? (amount < target ? f->Write(amount, buf.data(), static_cast<uint32_t>(buf.size()), &done) : 0)
                 : f->Read(amount, buf.data(), static_cast<uint32_t>(buf.size()), &done);
      if (st || (write && amount >= target) || (!write && done == 0)) break;
    }
    if (st || f->Close()) {
      fprintf(stderr, "transfer failed with error %u\n", st);
      return 1;
    }
  }
  v.reset();
  if (Unmount(id)) return 1;
  printf("%s %llu %.3f\n", mode.c_str(), static_cast<unsigned long long>(amount), Now() - start);
  return 0;
}
