// The trace channel: formatted lines handed to the optional trace library "vexlog.dll".
// When the library is missing or refused, every call here does nothing.
#pragma once
#include <cstdint>
#include "vmpeek/types.h"

typedef intptr_t TraceChannel;              // opaque, pointer-sized; -1 is the default channel
#define TRACE_DEFAULT_CHANNEL ((TraceChannel)-1)

bool LoadTraceLibrary();
void UnloadTraceLibrary();
void StartTracing();
TraceChannel OpenTraceChannel(const WCHAR* name);
void SetDefaultTraceChannel(TraceChannel channel);
// Whether a line to the channel reaches anyone: false without a trace library (or without
// PrintW), true when the library cannot tell (tables before version 4). Lets callers skip
// formatting bulky detail; nothing else may depend on it.
bool TraceChannelWritten(TraceChannel channel);
// UTF-16 format: %s takes a UTF-16 string, %hs an 8-bit one; l is 32 bits, I64/ll 64 bits.
void Trace(const WCHAR* format, ...);
void TraceTo(TraceChannel channel, const WCHAR* format, ...);
// 8-bit format: %s takes an 8-bit string, %ls a UTF-16 one.
void TraceNarrow(const char* format, ...);

// For tests: the library name LoadTraceLibrary looks for (null restores "vexlog.dll"; the name
// is not copied), and the loaded trace library's module handle (null while none is loaded).
void SetTraceLibraryNameForTesting(const WCHAR* name);
void* TraceLibraryModule();
