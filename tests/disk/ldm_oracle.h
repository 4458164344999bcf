// What ldmtool reads from a disk image: every partition of the disk group with its volume GUID.
#pragma once
#include <string>
#include <vector>

#include "raw_test_disk.h"

namespace vmtest {

// Rows (type left 0) for every partition ldmtool lists in the image's disk group, with the
// partition start made absolute by base, sorted; empty when ldmtool finds no group.
std::vector<Row> LdmtoolRows(const std::string& image, uint32_t base);
// The same rows sorted, with the type cleared, for comparison with LdmtoolRows.
std::vector<Row> SortedWithoutType(std::vector<Row> rows);

}  // namespace vmtest
