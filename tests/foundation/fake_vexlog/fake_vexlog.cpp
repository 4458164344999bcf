// A trace library with a configurable "vexlogexports1" table, for the trace loading tests.
// FAKE_MAGIC, FAKE_VERSION, FAKE_OLDEST, FAKE_OPEN_RESULT and FAKE_NO_PRINTW shape the table;
// FakeVexlogCount tells the test which calls arrived.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

int g_Opens, g_Closes, g_Channels, g_Defaults, g_PrintA, g_PrintW;

intptr_t Open() {
  ++g_Opens;
  return FAKE_OPEN_RESULT;
}
void Close(intptr_t) { ++g_Closes; }
intptr_t OpenChannel(intptr_t, const char16_t*) { return ++g_Channels; }
void SetDefaultChannel(intptr_t, intptr_t) { ++g_Defaults; }
void PrintA(intptr_t, intptr_t, const char*, va_list) { ++g_PrintA; }
[[maybe_unused]] void PrintW(intptr_t, intptr_t, const char16_t*, va_list) { ++g_PrintW; }

}  // namespace

struct FakeTable {
  uint32_t magic;
  int32_t version;
  int32_t oldest;
  uint8_t unused12[20];
  intptr_t (*open)();
  void (*close)(intptr_t);
  void* unused48;
  intptr_t (*openChannel)(intptr_t, const char16_t*);
  void* unused64[2];
  void (*setDefaultChannel)(intptr_t, intptr_t);
  void* unused88[5];
  void (*printA)(intptr_t, intptr_t, const char*, va_list);
  void (*printW)(intptr_t, intptr_t, const char16_t*, va_list);
};
static_assert(offsetof(FakeTable, printW) == 136);

#ifdef FAKE_NO_PRINTW
#define FAKE_PRINTW nullptr
#else
#define FAKE_PRINTW PrintW
#endif

FAKE_API const FakeTable vexlogexports1;
const FakeTable vexlogexports1 = {FAKE_MAGIC, FAKE_VERSION, FAKE_OLDEST, {}, Open, Close, nullptr,
                                  OpenChannel, {}, SetDefaultChannel, {}, PrintA, FAKE_PRINTW};

FAKE_API int FakeVexlogCount(const char* what) {
  if (!strcmp(what, "Open")) return g_Opens;
  if (!strcmp(what, "Close")) return g_Closes;
  if (!strcmp(what, "OpenChannel")) return g_Channels;
  if (!strcmp(what, "SetDefaultChannel")) return g_Defaults;
  if (!strcmp(what, "PrintA")) return g_PrintA;
  if (!strcmp(what, "PrintW")) return g_PrintW;
  return -1;
}
