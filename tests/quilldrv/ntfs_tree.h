// Fills a freshly made NTFS (mkntfs) with directories, files, attributes and named streams,
// straight through libntfs-3g: the volumes the driver tests read.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct NtfsTreeItem {
  NtfsTreeItem(std::string p, bool dir, std::string d = "", uint32_t attrs = 0, std::string s = "", std::string sd = "")
      : path(std::move(p)), directory(dir), data(std::move(d)), attributes(attrs), stream(std::move(s)),
        streamData(std::move(sd)) {}
  std::string path;      // "/dir/file", parents listed earlier
  bool directory = false;
  std::string data;      // file contents
  uint32_t attributes = 0;  // hidden, system, read-only bits to set
  std::string stream;    // a named data stream to add, with streamData
  std::string streamData;
};

// True when every item was made.
bool MakeNtfsTree(const std::string& partitionImage, const std::vector<NtfsTreeItem>& items);
