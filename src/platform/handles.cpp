// The table of live handles.
#include "platform/handles.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace {

struct Table {
  std::shared_mutex lock;
  std::unordered_map<const void*, PlatformHandleKind> live;
};

Table& TheTable() {
  static Table* t = new Table;  // never destroyed: handles may close during static teardown
  return *t;
}

}  // namespace

void PlatformHandleAdd(void* handle, PlatformHandleKind kind) {
  Table& t = TheTable();
  std::unique_lock<std::shared_mutex> g(t.lock);
  t.live[handle] = kind;
}

bool PlatformHandleTake(void* handle, PlatformHandleKind kind) {
  Table& t = TheTable();
  std::unique_lock<std::shared_mutex> g(t.lock);
  auto it = t.live.find(handle);
  if (it == t.live.end() || it->second != kind) return false;
  t.live.erase(it);
  return true;
}

PlatformHandleKind PlatformHandleKindOf(const void* handle) {
  if (!handle) return PlatformHandleKind::kNone;
  Table& t = TheTable();
  std::shared_lock<std::shared_mutex> g(t.lock);
  auto it = t.live.find(handle);
  return it == t.live.end() ? PlatformHandleKind::kNone : it->second;
}
