#include "module/interface_registry.h"

#include "module/trace.h"
#include "platform/status.h"

namespace {

// Changes only during static start-up and shutdown; read without a lock.
InterfaceEntry* g_Interfaces = nullptr;

// Byte-wise, case-sensitive, as unsigned bytes; null counts as the empty string.
bool SameName(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a ? a : "");
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b ? b : "");
  while (*x && *x == *y) ++x, ++y;
  return *x == *y;
}

}  // namespace

InterfaceEntry* RegisterInterface(InterfaceEntry* entry, const char* name, InterfaceFactory factory) {
  entry->name = name;
  entry->factory = factory;
  entry->next = g_Interfaces;
  g_Interfaces = entry;
  return entry;
}

void UnregisterInterface(InterfaceEntry* entry) {
  for (InterfaceEntry** link = &g_Interfaces; *link; link = &(*link)->next) {
    if (*link == entry) {
      *link = entry->next;
      entry->next = nullptr;
      return;
    }
  }
}

InterfaceEntry* FirstInterface() { return g_Interfaces; }

uint32_t ModuleGetInterface(const char* name, void** object) {
  uint32_t status = ERROR_INVALID_PARAMETER;
  if (object) {
    status = ERROR_INVALID_NAME;
    for (InterfaceEntry* entry = g_Interfaces; entry; entry = entry->next) {
      if (SameName(name, entry->name)) {
        *object = entry->factory(&status);
        break;
      }
    }
    if (status != 0) *object = nullptr;
  }
  TraceNarrow("NotComDllGetInterface %s returned %i\n", name ? name : "", static_cast<int32_t>(status));
  return status;
}
