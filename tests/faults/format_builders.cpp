// The byte-level image builders of the VHD and VMDK tests, compiled into this program too.
#include "vhd/vhd_builder.cpp"     // NOLINT(bugprone-suspicious-include)
#include "vmdk/cowd_builder.cpp"   // NOLINT(bugprone-suspicious-include)
