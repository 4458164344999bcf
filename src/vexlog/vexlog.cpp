// libvexlog.so: the trace library ("vexlog.dll"). Hosts find its calls in the table
// "vexlogexports1"; formatting follows the Windows printf conventions of the platform formatter.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/wstr.h"
#include "vexlog/vexlog_api.h"
#include "vexlog/vexlog_sink.h"

#define VEXLOG_API __attribute__((visibility("default")))

// The exported table; fields at fixed offsets, the rest reserved.
typedef intptr_t VexHandle;
typedef intptr_t VexChannel;

struct VexlogExports {
  uint32_t magic;
  int32_t version;
  int32_t oldestCompatibleVersion;
  uint32_t size;                       // size of this table in bytes
  int (*IsChannelWritten)(VexHandle handle, VexChannel channel);  // version 4
  void* reserved24;
  VexHandle (*Open)();
  void (*Close)(VexHandle handle);
  void* reserved48;
  VexChannel (*OpenChannel)(VexHandle handle, const WCHAR* name);
  void* reserved64[2];
  void (*SetDefaultChannel)(VexHandle handle, VexChannel channel);
  void* reserved88[5];
  void (*PrintA)(VexHandle handle, VexChannel channel, const char* format, va_list args);
  void (*PrintW)(VexHandle handle, VexChannel channel, const WCHAR* format, va_list args);
};
static_assert(offsetof(VexlogExports, magic) == 0);
static_assert(offsetof(VexlogExports, version) == 4);
static_assert(offsetof(VexlogExports, oldestCompatibleVersion) == 8);
static_assert(offsetof(VexlogExports, IsChannelWritten) == 16);
static_assert(offsetof(VexlogExports, Open) == 32);
static_assert(offsetof(VexlogExports, Close) == 40);
static_assert(offsetof(VexlogExports, OpenChannel) == 56);
static_assert(offsetof(VexlogExports, SetDefaultChannel) == 80);
static_assert(offsetof(VexlogExports, PrintA) == 128);
static_assert(offsetof(VexlogExports, PrintW) == 136);

namespace {

// Longest line kept, in units of the format's width; longer output is cut there.
constexpr size_t kMaxLine = 4096;

VexHandle Open() { return vexlog::OpenSession(); }

void Close(VexHandle handle) { vexlog::CloseSession(handle); }

VexChannel OpenChannel(VexHandle handle, const WCHAR* name) {
  if (!name) return 0;
  return vexlog::ChannelByName(Utf16ToUtf8(name));
}

void SetDefaultChannel(VexHandle handle, VexChannel channel) { vexlog::SetSessionDefault(handle, channel); }

int IsChannelWritten(VexHandle handle, VexChannel channel) { return vexlog::Written(handle, channel) ? 1 : 0; }

// Drops a UTF-8 sequence cut short at the end of a truncated line.
void TrimPartialUtf8(std::string* s) {
  size_t n = s->size(), lead = n;
  while (lead > 0 && n - lead < 4 && (static_cast<uint8_t>((*s)[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead == 0) return;
  uint8_t c = static_cast<uint8_t>((*s)[lead - 1]);
  size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  if (n - (lead - 1) < want) s->resize(lead - 1);
}

void PrintA(VexHandle handle, VexChannel channel, const char* format, va_list args) {
  if (!format) return;
  char buffer[kMaxLine];
  int full = AStrFormatV(buffer, sizeof buffer, format, args);
  std::string text(buffer);
  if (full >= static_cast<int>(sizeof buffer)) TrimPartialUtf8(&text);
  vexlog::Emit(handle, channel, text);
}

void PrintW(VexHandle handle, VexChannel channel, const WCHAR* format, va_list args) {
  if (!format) return;
  WCHAR buffer[kMaxLine];
  int full = WStrFormatV(buffer, kMaxLine, format, args);
  size_t n = WStrLen(buffer);
  if (full >= static_cast<int>(kMaxLine) && n > 0 && buffer[n - 1] >= 0xD800 && buffer[n - 1] <= 0xDBFF)
    buffer[n - 1] = 0;  // a surrogate pair cut in half
  vexlog::Emit(handle, channel, Utf16ToUtf8(buffer));
}

}  // namespace

extern "C" {

VEXLOG_API extern const VexlogExports vexlogexports1;
const VexlogExports vexlogexports1 = {
    0x54585254, 4, 1, sizeof(VexlogExports), IsChannelWritten, nullptr, Open, Close, nullptr, OpenChannel, {},
    SetDefaultChannel, {}, PrintA, PrintW};

VEXLOG_API size_t VexlogRecentLines(const char* channel, char* buffer, size_t size) {
  return vexlog::RecentLines(channel, buffer, size);
}

VEXLOG_API void VexlogClearRecent(void) { vexlog::ClearRecent(); }

VEXLOG_API void VexlogConfigure(const char* channels, const char* file) { vexlog::Configure(channels, file); }

}  // extern "C"
