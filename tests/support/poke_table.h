// The shape every hostile-header test shares: a valid image, one field changed per row, the
// result opened, the row's status and trace line expected.
#pragma once
#include <algorithm>
#include <functional>

#include "support/image_support.h"
#include "support/trace_capture.h"

namespace vmtest {

using Bytes = std::vector<uint8_t>;

// One hostile variant of a valid image and what opening it gives: the status and a fragment of
// a VMParseErrors line (null: the status alone).
template <class Image>
struct Poke {
  const char* name;
  std::function<void(Image&)> poke;
  uint32_t status;
  const char* trace;
};

// Runs open on a clean trace and expects its status and a VMParseErrors line containing trace
// (null: the status alone).
template <class Open>
void ExpectOutcome(const Open& open, uint32_t status, const char* trace) {
  ClearTrace();
  EXPECT_EQ(static_cast<uint32_t>(open()), status);
  if (trace != nullptr) {
    EXPECT_TRUE(TraceContains("VMParseErrors", trace)) << trace;
  }
}

// Opens image through the plug-in, read-only, with that outcome.
inline void ExpectOpen(const std::string& image, uint32_t status, const char* trace) {
  ExpectOutcome([&] { DiskRef disk; return OpenImage(disk, image); }, status, trace);
}

// Each row on its own copy of good: poke, open (the caller's open saves the image and returns
// the status), then the row's outcome; a failure names the row.
template <class Image, class Open>
void ExpectPokes(const Image& good, const std::vector<Poke<Image>>& rows, const Open& open) {
  for (const Poke<Image>& row : rows) {
    SCOPED_TRACE(row.name);
    Image image = good;
    row.poke(image);
    ExpectOutcome([&] { return open(image); }, row.status, row.trace);
  }
}

// A row's poke of a binary image: value stored in width bytes at offset (from the end when
// negative), little- or big-endian.
inline std::function<void(Bytes&)> SetBytes(int64_t offset, uint64_t value, int width, bool bigEndian) {
  return [=](Bytes& b) {
    uint8_t* at = b.data() + (offset < 0 ? b.size() : 0) + offset;
    for (int i = 0; i < width; ++i) at[bigEndian ? width - 1 - i : i] = static_cast<uint8_t>(value >> 8 * i);
  };
}
inline auto SetLE(int64_t offset, uint64_t value, int width) { return SetBytes(offset, value, width, false); }
inline auto SetBE(int64_t offset, uint64_t value, int width) { return SetBytes(offset, value, width, true); }

// A row's poke of text: the image's first `from` becomes `to` (of the same length in a binary
// image, whose later bytes must stay in place).
template <class Image = std::string>
std::function<void(Image&)> Swap(const std::string& from, const std::string& to) {
  return [=](Image& image) {
    const size_t at = std::search(image.begin(), image.end(), from.begin(), from.end()) - image.begin();
    ASSERT_LT(at, image.size()) << from;
    image.erase(image.begin() + at, image.begin() + at + from.size());
    image.insert(image.begin() + at, to.begin(), to.end());
  };
}

// Saves the image (bytes or text) as file and opens image (the file itself when empty) through
// the plug-in, read-only.
template <class Image = Bytes>
std::function<NTSTATUS(const Image&)> SaveAndOpen(const std::string& file, const std::string& image = "") {
  return [=](const Image& bytes) {
    WriteAll(file, Bytes(bytes.begin(), bytes.end()));
    DiskRef disk;
    return OpenImage(disk, image.empty() ? file : image);
  };
}

}  // namespace vmtest
