// What ldmtool reads from a disk image: the partitions of the disk group on this disk, with
// their volume GUIDs.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "raw_test_disk.h"

namespace vmtest {

// Rows (type left 0) for every partition ldmtool places on this image's own disk of its group,
// with the partition start made absolute by base, sorted; empty when ldmtool finds no group.
std::vector<Row> LdmtoolRows(const std::string& image, uint32_t base);
// The same for several images at once (each disk group read once), by image path as given.
std::map<std::string, std::vector<Row>> LdmtoolRowsByDisk(const std::vector<std::string>& images, uint32_t base);
// The same rows sorted, with the type cleared, for comparison with LdmtoolRows.
std::vector<Row> SortedWithoutType(std::vector<Row> rows);

}  // namespace vmtest
