// Visibility of the platform library's interface.
#pragma once
#define VMPLAT_API __attribute__((visibility("default")))
