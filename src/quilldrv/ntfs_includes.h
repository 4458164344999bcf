// libntfs-3g's headers, with what they expect their includer to have set up. They define min
// and max as macros, so the standard headers come first and the macros go afterwards.
#pragma once
#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <ctime>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#ifndef HAVE_STDINT_H
#define HAVE_STDINT_H 1
#endif
#ifndef HAVE_SYS_TYPES_H
#define HAVE_SYS_TYPES_H 1
#endif
#ifndef HAVE_SYS_STAT_H
#define HAVE_SYS_STAT_H 1
#endif
// libntfs-3g has its own STATUS_NOT_FOUND; the platform's stays the one this code sees.
#include "platform/status.h"
#pragma push_macro("STATUS_NOT_FOUND")
#undef STATUS_NOT_FOUND
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/volume.h>
}
#undef STATUS_NOT_FOUND
#pragma pop_macro("STATUS_NOT_FOUND")
#undef min
#undef max
