// The trace channel: looks up the trace library once and hands formatted lines to it.
#include "module/trace.h"

#include <cstdarg>
#include <cstddef>

#include "module/module_startup.h"
#include "platform/loader.h"

namespace {

typedef intptr_t TraceHandle;
typedef TraceHandle (*PFN_TraceOpen)();
typedef void (*PFN_TraceClose)(TraceHandle handle);
typedef int (*PFN_TraceIsChannelWritten)(TraceHandle handle, TraceChannel channel);
typedef TraceChannel (*PFN_TraceOpenChannel)(TraceHandle handle, const WCHAR* name);
typedef void (*PFN_TraceSetDefaultChannel)(TraceHandle handle, TraceChannel channel);
typedef void (*PFN_TracePrintA)(TraceHandle handle, TraceChannel channel, const char* format, va_list args);
typedef void (*PFN_TracePrintW)(TraceHandle handle, TraceChannel channel, const WCHAR* format, va_list args);

// The fields of "vexlogexports1" the module reads; the others are not used.
struct TraceTable {
  uint32_t magic;
  int32_t version;
  int32_t oldestCompatibleVersion;
  uint32_t unused12;
  PFN_TraceIsChannelWritten IsChannelWritten;  // version 4 and later; reserved before
  void* unused24;
  PFN_TraceOpen Open;
  PFN_TraceClose Close;
  void* unused48;
  PFN_TraceOpenChannel OpenChannel;
  void* unused64[2];
  PFN_TraceSetDefaultChannel SetDefaultChannel;
  void* unused88[5];
  PFN_TracePrintA PrintA;
  PFN_TracePrintW PrintW;
};
static_assert(offsetof(TraceTable, version) == 4);
static_assert(offsetof(TraceTable, oldestCompatibleVersion) == 8);
static_assert(offsetof(TraceTable, IsChannelWritten) == 16);
static_assert(offsetof(TraceTable, Open) == 32);
static_assert(offsetof(TraceTable, Close) == 40);
static_assert(offsetof(TraceTable, OpenChannel) == 56);
static_assert(offsetof(TraceTable, SetDefaultChannel) == 80);
static_assert(offsetof(TraceTable, PrintA) == 128);
static_assert(offsetof(TraceTable, PrintW) == 136);

constexpr uint32_t kTraceMagic = 0x54585254;
constexpr int32_t kTraceVersion = 3;
constexpr int32_t kChannelQueryVersion = 4;  // first version whose table has IsChannelWritten

const WCHAR* const kTraceLibraryName = u"vexlog.dll";
const WCHAR* g_TraceLibraryName = kTraceLibraryName;

HMODULE traceModule = nullptr;
const TraceTable* traceTable = nullptr;
TraceHandle traceHandle = 0;
int32_t loading = 0;
int32_t started = 0;

const TraceTable* CurrentTable() { return __atomic_load_n(&traceTable, __ATOMIC_ACQUIRE); }

bool Acceptable(const TraceTable* table) {
  return table && table->magic == kTraceMagic && table->version >= kTraceVersion &&
         table->oldestCompatibleVersion <= kTraceVersion && table->Open;
}

}  // namespace

bool LoadTraceLibrary() {
  if (CurrentTable()) return true;
  if (__atomic_exchange_n(&loading, 1, __ATOMIC_ACQ_REL)) return CurrentTable() != nullptr;
  if (!traceModule) {
    traceModule = LoadLibraryW(g_TraceLibraryName);
    if (!traceModule) {
      __atomic_store_n(&loading, 0, __ATOMIC_RELEASE);
      return false;
    }
  }
  auto* table = static_cast<const TraceTable*>(GetProcAddress(traceModule, "vexlogexports1"));
  if (Acceptable(table)) {
    TraceHandle handle = table->Open();
    if (handle) {
      traceHandle = handle;
      __atomic_store_n(&traceTable, table, __ATOMIC_RELEASE);
    }
  }
  if (!CurrentTable()) {
    FreeLibrary(traceModule);
    traceModule = nullptr;
  }
  __atomic_store_n(&loading, 0, __ATOMIC_RELEASE);
  return CurrentTable() != nullptr;
}

void UnloadTraceLibrary() {
  const TraceTable* table = CurrentTable();
  if (table && table->Close) {
    table->Close(traceHandle);
    traceHandle = 0;
  }
  __atomic_store_n(&traceTable, static_cast<const TraceTable*>(nullptr), __ATOMIC_RELEASE);
  if (traceModule) {
    FreeLibrary(traceModule);
    traceModule = nullptr;
  }
}

void StartTracing() {
  if (__atomic_exchange_n(&started, 1, __ATOMIC_ACQ_REL)) return;
  LoadTraceLibrary();
  RegisterShutdownStep(UnloadTraceLibrary);
}

TraceChannel OpenTraceChannel(const WCHAR* name) {
  StartTracing();
  const TraceTable* table = CurrentTable();
  if (!table || !table->OpenChannel) return 0;
  return table->OpenChannel(traceHandle, name);
}

void SetDefaultTraceChannel(TraceChannel channel) {
  const TraceTable* table = CurrentTable();
  if (table && table->SetDefaultChannel) table->SetDefaultChannel(traceHandle, channel);
}

bool TraceChannelWritten(TraceChannel channel) {
  const TraceTable* table = CurrentTable();
  if (!table || !table->PrintW) return false;
  if (table->version < kChannelQueryVersion || !table->IsChannelWritten) return true;
  return table->IsChannelWritten(traceHandle, channel) != 0;
}

void Trace(const WCHAR* format, ...) {
  const TraceTable* table = CurrentTable();
  if (!table || !table->PrintW) return;
  va_list args;
  va_start(args, format);
  table->PrintW(traceHandle, TRACE_DEFAULT_CHANNEL, format, args);
  va_end(args);
}

void TraceTo(TraceChannel channel, const WCHAR* format, ...) {
  const TraceTable* table = CurrentTable();
  if (!table || !table->PrintW) return;
  va_list args;
  va_start(args, format);
  table->PrintW(traceHandle, channel, format, args);
  va_end(args);
}

void TraceNarrow(const char* format, ...) {
  const TraceTable* table = CurrentTable();
  if (!table || !table->PrintA) return;
  va_list args;
  va_start(args, format);
  table->PrintA(traceHandle, TRACE_DEFAULT_CHANNEL, format, args);
  va_end(args);
}

void SetTraceLibraryNameForTesting(const WCHAR* name) {
  g_TraceLibraryName = name ? name : kTraceLibraryName;
}

void* TraceLibraryModule() { return CurrentTable() ? traceModule : nullptr; }
