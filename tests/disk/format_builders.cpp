// The VHD tests' byte-level builder (differencing images), compiled into this program too.
#include "vhd/vhd_builder.cpp"  // NOLINT(bugprone-suspicious-include)
