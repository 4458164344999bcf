// Puts "\??\" in front of a path that does not already begin with it.
#pragma once
#include "vmpeek/types.h"

// A new heap string (free with free()), or null for a null path or when memory runs out.
WCHAR* ToNtPath(const WCHAR* path);
