// Windows file name patterns: "*" and "?" as FindFirstFileW reads them ("*.*" is everything,
// "*." names without an extension, "?" may match nothing before a dot or the end), plus the
// DOS forms "<", ">" and "\"" that such patterns turn into. Case-insensitive.
#pragma once
#include <string>

bool WildcardMatch(const std::u16string& pattern, const std::u16string& name);
bool HasWildcards(const std::u16string& pattern);
