// Transaction log replay for dirty hives. New-format logs (Windows 8.1 and later: ".LOG1" and
// ".LOG2") hold "HvLE" entries, each a set of dirty pages with two Marvin32 hashes; the valid
// entries of both logs are applied in sequence order. Old-format logs (".LOG") hold a dirty
// sector bitmap ("DIRT") followed by the dirty 512-byte sectors.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/endian.h"
#include "platform/platform_trace.h"
#include "platform/reg_image.h"
#include "platform/status.h"

namespace {

constexpr uint32_t kBaseBlock = 4096;
constexpr uint64_t kMaxLog = 1ull << 30;
constexpr uint64_t kMaxHiveBins = 0x7FFFF000ull;

inline uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// Marvin32 with the seed the registry uses.
uint64_t Marvin32(const uint8_t* p, size_t n) {
  const uint64_t seed = 0x82EF4D887A4E55C5ull;
  uint32_t lo = static_cast<uint32_t>(seed), hi = static_cast<uint32_t>(seed >> 32);
  auto block = [&] {
    hi ^= lo; lo = Rotl(lo, 20);
    lo += hi; hi = Rotl(hi, 9);
    hi ^= lo; lo = Rotl(lo, 27);
    lo += hi; hi = Rotl(hi, 19);
  };
  for (; n >= 4; p += 4, n -= 4) { lo += LoadLE32(p); block(); }
  uint32_t last = 0x80;
  if (n == 1) last = 0x8000u | p[0];
  if (n == 2) last = 0x800000u | LoadLE16(p);
  if (n == 3) last = 0x80000000u | (static_cast<uint32_t>(p[2]) << 16) | LoadLE16(p);
  lo += last;
  block();
  block();
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

struct PageRef {
  uint32_t offset, size;
  const uint8_t* data;
};
struct LogEntry {
  uint32_t sequence, hiveBinsSize;
  std::vector<PageRef> pages;
};

// The valid entries of a new-format log, in file order, stopping at the first bad one.
void ParseNewLog(const WCHAR* name, const HiveImage& log, std::vector<LogEntry>* out) {
  const uint8_t* d = log.Data();
  uint64_t size = log.Size();
  uint32_t expect = LoadLE32(d + 4);
  for (uint64_t off = 512; off + 40 <= size;) {
    const uint8_t* e = d + off;
    if (LoadLE32(e) != 0x454C7648u) break;  // "HvLE"
    uint32_t esize = LoadLE32(e + 4);
    uint32_t count = LoadLE32(e + 20);
    if (esize < 40 || esize % 512 || esize > size - off || count > (esize - 40) / 8) {
      PlatformTrace(u"Registry: %s: log entry at %I64u has a bad size\n", name, off);
      break;
    }
    if (Marvin32(e, 32) != LoadLE64(e + 32) || Marvin32(e + 40, esize - 40) != LoadLE64(e + 24)) {
      PlatformTrace(u"Registry: %s: log entry at %I64u fails its hash\n", name, off);
      break;
    }
    LogEntry entry{LoadLE32(e + 12), LoadLE32(e + 16), {}};
    if (entry.sequence != expect) break;
    uint64_t data = 40 + static_cast<uint64_t>(count) * 8;
    bool ok = entry.hiveBinsSize % 4096 == 0 && entry.hiveBinsSize <= kMaxHiveBins;
    for (uint32_t i = 0; ok && i < count; ++i) {
      PageRef r{LoadLE32(e + 40 + i * 8), LoadLE32(e + 44 + i * 8), nullptr};
      ok = r.size <= esize - data && static_cast<uint64_t>(r.offset) + r.size <= entry.hiveBinsSize;
      if (ok) r.data = e + data;
      data += r.size;
      entry.pages.push_back(r);
    }
    if (!ok) {
      PlatformTrace(u"Registry: %s: log entry at %I64u has a bad page reference\n", name, off);
      break;
    }
    out->push_back(std::move(entry));
    ++expect;
    off += esize;
  }
}

void FinishHeader(HiveImage* image, uint32_t sequence, uint32_t hiveBinsSize) {
  uint8_t* h = image->Data();
  StoreLE32(h + 4, sequence);
  StoreLE32(h + 8, sequence);
  StoreLE32(h + 40, hiveBinsSize);
  StoreLE32(h + 508, RegfChecksum(h));
}

// Applies the new-format logs; false when none applies.
bool ReplayNew(const std::u16string& path, HiveImage* image) {
  HiveImage logs[2];
  std::vector<LogEntry> entries;
  uint32_t hiveSecondary = LoadLE32(image->Data() + 8);
  for (int i = 0; i < 2; ++i) {
    std::u16string name = path + (i == 0 ? u".LOG1" : u".LOG2");
    if (ReadFileToImage(name.c_str(), kMaxLog, &logs[i]) != ERROR_SUCCESS) continue;
    if (logs[i].Size() < 512 || !RegfBaseBlockValid(logs[i].Data()) || LoadLE32(logs[i].Data() + 28) != 6) {
      PlatformTrace(u"Registry: %s is not a valid transaction log; ignored\n", name.c_str());
      continue;
    }
    if (LoadLE32(logs[i].Data() + 4) < hiveSecondary) {
      PlatformTrace(u"Registry: %s is older than the hive; ignored\n", name.c_str());
      continue;
    }
    ParseNewLog(name.c_str(), logs[i], &entries);
  }
  if (entries.empty()) return false;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const LogEntry& a, const LogEntry& b) { return a.sequence < b.sequence; });
  uint32_t next = entries.front().sequence;
  uint32_t bins = LoadLE32(image->Data() + 40);
  // The hive can only grow by what the logs hold: a larger claim is refused, not allocated.
  uint64_t growth = logs[0].Size() + logs[1].Size();
  for (const LogEntry& e : entries) {
    if (e.sequence != next) break;  // a gap: later entries cannot be trusted
    if (e.hiveBinsSize > static_cast<uint64_t>(bins) + growth) {
      PlatformTrace(u"Registry: a log entry of %s grows the hive to %u bytes; replay stops\n", path.c_str(),
                    e.hiveBinsSize);
      break;
    }
    bins = e.hiveBinsSize;
    if (kBaseBlock + static_cast<uint64_t>(bins) > image->Size() &&
        image->Resize(kBaseBlock + static_cast<uint64_t>(bins)) != ERROR_SUCCESS)
      return false;
    for (const PageRef& r : e.pages) std::copy(r.data, r.data + r.size, image->Data() + kBaseBlock + r.offset);
    ++next;
  }
  if (next == entries.front().sequence) return false;
  FinishHeader(image, next, bins);
  PlatformTrace(u"Registry: replayed log entries %u to %u into %s\n", entries.front().sequence, next - 1,
                path.c_str());
  return true;
}

// Applies an old-format log; false when it does not apply.
bool ReplayOld(const std::u16string& path, HiveImage* image) {
  std::u16string name = path + u".LOG";
  HiveImage log;
  if (ReadFileToImage(name.c_str(), kMaxLog, &log) != ERROR_SUCCESS) return false;
  const uint8_t* d = log.Data();
  if (log.Size() < 1024 || !RegfBaseBlockValid(d) || LoadLE32(d + 4) != LoadLE32(d + 8) ||
      LoadLE32(d + 512) != 0x54524944u /* "DIRT" */) {
    PlatformTrace(u"Registry: %s is not a valid transaction log; ignored\n", name.c_str());
    return false;
  }
  uint32_t bins = LoadLE32(d + 40);
  uint64_t bitmapBytes = bins / 4096;
  if (bins > image->Size() + log.Size()) {
    PlatformTrace(u"Registry: %s grows the hive to %u bytes; ignored\n", name.c_str(), bins);
    return false;
  }
  uint64_t sectors = (512 + 4 + bitmapBytes + 511) / 512 * 512;
  if (bins % 4096 || bins > kMaxHiveBins || 516 + bitmapBytes > log.Size()) {
    PlatformTrace(u"Registry: %s has a bad dirty vector; ignored\n", name.c_str());
    return false;
  }
  uint64_t dirty = 0;
  for (uint64_t i = 0; i < bitmapBytes * 8; ++i)
    if (d[516 + i / 8] & (1u << (i % 8))) ++dirty;
  if (sectors + dirty * 512 > log.Size()) {
    PlatformTrace(u"Registry: %s is shorter than its dirty vector says; ignored\n", name.c_str());
    return false;
  }
  if (kBaseBlock + static_cast<uint64_t>(bins) > image->Size() &&
      image->Resize(kBaseBlock + static_cast<uint64_t>(bins)) != ERROR_SUCCESS)
    return false;
  const uint8_t* src = d + sectors;
  for (uint64_t i = 0; i < bitmapBytes * 8; ++i) {
    if (!(d[516 + i / 8] & (1u << (i % 8)))) continue;
    std::copy(src, src + 512, image->Data() + kBaseBlock + i * 512);
    src += 512;
  }
  FinishHeader(image, LoadLE32(d + 4), bins);
  PlatformTrace(u"Registry: replayed %I64u dirty sectors from %s\n", dirty, name.c_str());
  return true;
}

}  // namespace

void ReplayHiveLogs(const WCHAR* path, HiveImage* image) {
  const uint8_t* h = image->Data();
  if (image->Size() < kBaseBlock || !RegfBaseBlockValid(h) || LoadLE32(h + 4) == LoadLE32(h + 8)) return;
  std::u16string p(path);
  PlatformTrace(u"Registry: %s is dirty (sequence %u/%u)\n", path, LoadLE32(h + 4), LoadLE32(h + 8));
  if (!ReplayNew(p, image) && !ReplayOld(p, image))
    PlatformTrace(u"Registry: no usable transaction log beside %s; reading it as it is\n", path);
}
