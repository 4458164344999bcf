// Batched scatter reads: every request lands in its own segments (and nowhere else) whether the
// kernel takes the batch at once or one by one, reads across the end of the file fill zeros,
// and the status is the first failing request's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/nt_file.h"
#include "support/test_support.h"

namespace {

constexpr uint8_t kCanary = 0xA5;

// Run on a thread of its own: the choice of io_uring is made at a thread's first batch.
void CheckBatch() {
  vmtest::TempDir dir;
  const std::vector<uint8_t> data = vmtest::PatternBytes(10000, 7);
  vmtest::WriteAll(dir.file("f"), data);
  HANDLE h = nullptr;
  ASSERT_EQ(ZwCreateFile(&h, GENERIC_READ | SYNCHRONIZE, vmtest::NtPath(dir.file("f")).c_str(), OBJ_CASE_INSENSITIVE,
                         FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
            STATUS_SUCCESS);

  // 70 requests (more than one ring's worth), two segments each with a guarded gap between
  // them; the last two cross the end of the file and start past it.
  struct Piece {
    uint64_t offset;
    uint32_t first, second;
  };
  std::vector<Piece> pieces;
  for (uint32_t i = 0; i < 68; ++i) pieces.push_back({i * 131u, 7 + i, 50});
  pieces.push_back({9900, 60, 100});   // 40 bytes after the end
  pieces.push_back({20000, 10, 10});   // wholly past the end
  std::vector<std::vector<uint8_t>> memory;
  std::vector<FILE_SEGMENT_BUFFER> segments;
  for (const Piece& p : pieces) memory.emplace_back(p.first + p.second + 16, kCanary);
  for (size_t i = 0; i < pieces.size(); ++i) {
    segments.push_back({memory[i].data(), pieces[i].first});
    segments.push_back({memory[i].data() + pieces[i].first + 8, pieces[i].second});
  }
  std::vector<FILE_SCATTER_REQUEST> requests;
  for (size_t i = 0; i < pieces.size(); ++i) requests.push_back({pieces[i].offset, &segments[2 * i], 2});

  EXPECT_EQ(ZwReadFileScatterBatch(h, requests.data(), static_cast<uint32_t>(requests.size())),
            STATUS_END_OF_FILE);
  for (size_t i = 0; i < pieces.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    const Piece& p = pieces[i];
    const uint8_t* m = memory[i].data();
    for (uint32_t k = 0; k < p.first + p.second; ++k) {
      const uint64_t at = p.offset + k;
      const uint8_t want = i + 1 == pieces.size() ? kCanary : at < data.size() ? data[at] : 0;
      const uint8_t got = m[k < p.first ? k : k + 8];
      ASSERT_EQ(got, want) << "byte " << k;
    }
    for (uint32_t k = 0; k < 8; ++k) ASSERT_EQ(m[p.first + k], kCanary);  // the gap
    for (uint32_t k = p.first + p.second + 8; k < memory[i].size(); ++k) ASSERT_EQ(m[k], kCanary);
  }
  EXPECT_EQ(ZwReadFileScatterBatch(nullptr, requests.data(), 1), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwReadFileScatterBatch(h, nullptr, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwReadFileScatterBatch(h, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST(BatchRead, RequestsLandInTheirSegmentsAndTheEndOfFileReadsAsZeros) {
  for (const char* ring : {"1", "0"}) {
    SCOPED_TRACE(std::string("VMPEEK_IO_URING=") + ring);
    setenv("VMPEEK_IO_URING", ring, 1);
    std::thread(CheckBatch).join();
  }
  unsetenv("VMPEEK_IO_URING");
}

}  // namespace
