// Calls libvexlog.so offers its hosts and tests besides the "vexlogexports1" table.
// Whatever the output configuration, the library keeps the last 256 lines of every channel in
// memory; lines written to the default channel before a session chose one go to "default".
//
// The table itself: magic 0x54585254, version 4, oldest compatible version 1, then its size in
// bytes at offset 12. Version 4 added one call at offset 16, in a field earlier versions left
// reserved (zero), so a host built for version 3 is unaffected:
//   int IsChannelWritten(handle, channel)   offset 16
// non-zero when a line printed to `channel` (0 or -1: the session's default) is written out by
// the current output configuration (VEXLOG / VEXLOG_FILE, or VexlogConfigure), 0 when the line
// would only be remembered. Hosts use it to skip formatting bulky detail nobody records; a host
// must read the field only from a table whose version is 4 or more, and treat a null field as
// "written".
#pragma once
#include <cstddef>

extern "C" {
// Copies the remembered lines of `channel` (UTF-8, oldest first, joined by '\n', no trailing
// line end) into buffer when size allows, always terminating a buffer of non-zero size.
// Returns the size needed, terminator included. An unknown or null channel has no lines.
size_t VexlogRecentLines(const char* channel, char* buffer, size_t size);
// Forgets every remembered line of every channel.
void VexlogClearRecent(void);
// Replaces the output configuration read from VEXLOG / VEXLOG_FILE: `channels` is a
// comma-separated list of channel names or "all" (null or empty: nothing is written); `file` is
// the path lines are appended to (null or empty: standard error).
void VexlogConfigure(const char* channels, const char* file);
typedef size_t (*PFN_VexlogRecentLines)(const char* channel, char* buffer, size_t size);
typedef void (*PFN_VexlogClearRecent)(void);
typedef void (*PFN_VexlogConfigure)(const char* channels, const char* file);
}
