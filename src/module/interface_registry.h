// The list of named interfaces the module offers through NotComDllGetInterface.
#pragma once
#include <cstdint>

// Creates a new object for an interface; always writes *status (0 or a Win32 error code).
typedef void* (*InterfaceFactory)(uint32_t* status);

struct InterfaceEntry {
  InterfaceEntry* next;
  const char* name;
  InterfaceFactory factory;
};

// Fills the entry and puts it at the head of the list (newest first); returns the entry.
InterfaceEntry* RegisterInterface(InterfaceEntry* entry, const char* name, InterfaceFactory factory);
// Unlinks the entry; an entry not in the list leaves the list unchanged.
void UnregisterInterface(InterfaceEntry* entry);
// The head of the list (null when empty).
InterfaceEntry* FirstInterface();

// NotComDllGetInterface: 87 for a null output, 123 for an unknown name, else the factory's status.
uint32_t ModuleGetInterface(const char* name, void** object);
