#include "ldm_oracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace vmtest {
namespace {

// ldmtool over disks given as " -d IMAGE..." arguments.
nlohmann::json Ldmtool(const std::string& disks, const std::string& args) {
  return nlohmann::json::parse(Sh("ldmtool" + disks + " " + args + " 2>/dev/null"), nullptr, false);
}

// "00112233-4455-6677-8899-aabbccddeeff" in Windows GUID byte order, as hex.
std::string WindowsOrderHex(const std::string& guid) {
  std::string h;
  for (char c : guid)
    if (c != '-') h += c;
  auto swap = [&](size_t at, size_t bytes) {
    std::string out;
    for (size_t i = bytes; i-- > 0;) out += h.substr(at + 2 * i, 2);
    return out;
  };
  return swap(0, 4) + swap(8, 2) + swap(12, 2) + h.substr(16);
}

}  // namespace

std::map<std::string, std::vector<Row>> LdmtoolRowsByDisk(const std::vector<std::string>& images, uint32_t base) {
  std::string disks;
  for (const std::string& image : images) disks += " -d " + Quote(image);
  std::map<std::string, std::vector<Row>> rows;
  const auto groups = Ldmtool(disks, "scan");
  if (!groups.is_array()) return rows;
  for (const auto& groupId : groups) {
    const std::string group = groupId;
    const auto info = Ldmtool(disks, "show diskgroup " + group);
    std::map<std::string, std::string> deviceOf;  // disk name -> the image that is that disk
    for (const auto& disk : info["disks"]) {
      const auto d = Ldmtool(disks, "show disk " + group + " " + disk.get<std::string>());
      if (d.value("present", false)) deviceOf[d["name"]] = d["device"];
    }
    for (const auto& name : info["volumes"]) {
      const auto volume = Ldmtool(disks, "show volume " + group + " " + name.get<std::string>());
      for (const auto& partName : volume["partitions"]) {
        const auto part = Ldmtool(disks, "show partition " + group + " " + partName.get<std::string>());
        const auto device = deviceOf.find(part["disk"]);
        if (device == deviceOf.end()) continue;
        rows[device->second].push_back(Row{0, static_cast<uint32_t>(part["start"].get<uint64_t>() + base),
                                           part["size"].get<uint32_t>(), WindowsOrderHex(volume["guid"])});
      }
    }
  }
  for (auto& [device, list] : rows) list = SortedWithoutType(list);
  return rows;
}

std::vector<Row> LdmtoolRows(const std::string& image, uint32_t base) {
  auto rows = LdmtoolRowsByDisk({image}, base);
  return rows.count(image) ? rows[image] : std::vector<Row>{};
}

std::vector<Row> SortedWithoutType(std::vector<Row> rows) {
  for (Row& r : rows) r.type = 0;
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return std::tie(a.first, a.count, a.id) < std::tie(b.first, b.count, b.id);
  });
  return rows;
}

}  // namespace vmtest
