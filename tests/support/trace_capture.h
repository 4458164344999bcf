// Reads the trace lines the trace library keeps in memory (the last 256 of each channel).
#pragma once
#include <string>
#include <vector>

namespace vmtest {

// Forgets every remembered line (loads the trace library first when it is not loaded yet).
void ClearTrace();
// The remembered lines of a channel, UTF-8, oldest first, without line ends.
std::vector<std::string> RecentTrace(const std::string& channel);
// Whether any remembered line of the channel contains needle.
bool TraceContains(const std::string& channel, const std::string& needle);

}  // namespace vmtest
