// Module lifetime: the count of live objects that keeps the library loaded, the self-pin, and
// the process attach and detach steps.
#pragma once
#include <cstdint>
#include "vmpeek/types.h"

// Called by the constructor and destructor of every object that holds the module.
void ModuleAddRef();
void ModuleRelease();
// NotComDllUnload: gives the self-pin back when no object is alive; otherwise does nothing.
void ModuleUnload();

// The module lock's life (static start-up step 2 and its undo).
void InitializeModuleLock();
void DeleteModuleLock();

// Process attach: loads tracing, records the module handle and path, opens the default channel.
// False when the module path cannot be read.
bool ModuleProcessAttach(void* moduleHandle);
// Process detach: closes the default channel, forgets the path and handle, unloads tracing.
void ModuleProcessDetach();

// The module's own path (null before attach) and the state kept under the module lock.
const WCHAR* ModulePath();
uint32_t ModuleLiveObjects();
bool ModuleIsPinned();
