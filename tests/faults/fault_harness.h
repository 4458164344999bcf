// Fault trials for writes that grow an image: a prepared image is copied, opened for writing,
// given one write while file operations fail (through the platform's fault hook, or for real
// under a file size limit), and then checked: it still opens, every sector holds its old data
// except that the written sectors hold old or new data, and qemu-img reads the same bytes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace faulttest {

// One prepared image and the write that grows it.
struct ImageKind {
  std::string name;
  std::string folder;       // the template folder holding every file of the image (and parents)
  std::string image;        // file name of the image opened for writing, inside the folder
  std::string qemuFormat;   // "vpc" or "vmdk" when qemu-img reads it, else empty
  bool qemuCheck = false;   // qemu-img check works for the format
  uint64_t sector = 0;      // the growing write
  std::vector<uint8_t> data;
};

// How the injected faults fall.
enum class FaultMode {
  kOnlyNth,  // the Nth write/set-size fails, later ones succeed; then the write is retried
  kFromNth,  // the Nth and every later one fail, as a crash at that step would leave it
};

// Builders of the image kinds (each in a fresh folder under dir).
ImageKind MakeVhdDynamic(const vmtest::TempDir& dir);
ImageKind MakeVhdDifferencing(const vmtest::TempDir& dir);
ImageKind MakeVhdContinuation(const vmtest::TempDir& dir);
ImageKind MakeVmdkSparse(const vmtest::TempDir& dir);
ImageKind MakeVmdkChild(const vmtest::TempDir& dir);
ImageKind MakeEsxSparse(const vmtest::TempDir& dir);

class FaultRunner {
 public:
  FaultRunner(const vmtest::TempDir& dir, ImageKind kind);

  // The disk as read before any write (through our reader, checked against qemu-img).
  bool Prepare();
  // Runs the write under the hook for N = 1, 2, ... until it completes; returns the number of
  // faulted steps (0 when something went wrong before the first trial).
  int RunHookTrials(FaultMode mode);
  // Runs the write in child processes under file size limits just below the end of each step
  // that grows a file; returns the number of limits tried.
  int RunLimitTrials();

 private:
  std::string CopyTemplate(const std::string& label);
  // Checks a trial folder after a write that completed (`complete`) or failed.
  void Verify(const std::string& folder, bool complete, const std::string& label);

  const vmtest::TempDir& m_Dir;
  ImageKind m_Kind;
  std::vector<uint8_t> m_Before;
  std::vector<uint8_t> m_After;
  std::vector<uint64_t> m_StepEnds;  // file size each growing step of an unfaulted write reaches
  int m_Trial = 0;
};

}  // namespace faulttest
