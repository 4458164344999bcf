#include "ldm_oracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace vmtest {
namespace {

nlohmann::json Ldmtool(const std::string& image, const std::string& args) {
  return nlohmann::json::parse(Sh("ldmtool -d " + Quote(image) + " " + args + " 2>/dev/null"), nullptr, false);
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

std::vector<Row> LdmtoolRows(const std::string& image, uint32_t base) {
  std::vector<Row> rows;
  const auto groups = Ldmtool(image, "scan");
  if (!groups.is_array() || groups.empty()) return rows;
  const std::string group = groups[0];
  const auto info = Ldmtool(image, "show diskgroup " + group);
  for (const auto& name : info["volumes"]) {
    const auto volume = Ldmtool(image, "show volume " + group + " " + name.get<std::string>());
    for (const auto& partName : volume["partitions"]) {
      const auto part = Ldmtool(image, "show partition " + group + " " + partName.get<std::string>());
      rows.push_back(Row{0, static_cast<uint32_t>(part["start"].get<uint64_t>() + base),
                         part["size"].get<uint32_t>(), WindowsOrderHex(volume["guid"])});
    }
  }
  return SortedWithoutType(rows);
}

std::vector<Row> SortedWithoutType(std::vector<Row> rows) {
  for (Row& r : rows) r.type = 0;
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return std::tie(a.first, a.count, a.id) < std::tie(b.first, b.count, b.id);
  });
  return rows;
}

}  // namespace vmtest
