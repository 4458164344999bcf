// The cause a failure report leads with, read from the library's error lines: a format vmpeek
// does not read, or a differencing parent whose file is not there.
#pragma once
#include <string>
#include <vector>

// "VHDX is not supported yet", "parent not found: tried base.vhd, /vm/base.vhd", or "" when the
// lines name no such cause. Paths are shown as ShownPath shows them for `typed`.
std::string FailureCause(const std::vector<std::string>& lines, const std::string& typed);
