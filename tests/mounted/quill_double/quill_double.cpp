#include "quill_double.h"

#include <cstring>

#include "mount/driver_link.h"

namespace {

QuillDoubleState g_State;

class Driver final : public ContentDriver {
 public:
  uint32_t AddRef() override { return ++g_State.driverRefs; }
  void Release() override { --g_State.driverRefs; }
  void Reserved2() override {}
  uint32_t IoCtl(uint32_t code, const void* in, uint64_t inSize, void* out, uint64_t outSize,
                 uint64_t* returned) override {
    const auto* bytes = static_cast<const uint8_t*>(in);
    g_State.requests.push_back({code, std::vector<uint8_t>(bytes, bytes + (in ? inSize : 0)), outSize, returned != nullptr});
    const uint32_t status = code < 8 ? g_State.status[code] : 1;
    if (status != 0) return status;
    auto* o = static_cast<uint8_t*>(out);
    if (code == VMMount_IoCtl_Mount && outSize >= 8) {
      memcpy(o, &g_State.mountId, 8);
      memcpy(o + 8, g_State.rootName.data(), std::min<size_t>(outSize - 8, g_State.rootName.size() * 2));
    } else if (code == VMMount_IoCtl_ReadOnly && outSize >= 4) {
      memcpy(o, &g_State.readOnlyValue, 4);
      if (returned) *returned = g_State.readOnlyReturned;
    }
    return 0;
  }
} g_Driver;

class Loader final : public QuillLoader {
 public:
  uint32_t AddRef() override { return 1; }
  void Release() override {}
  void Reserved2() override {}
  uint32_t LoadContentDriver(const WCHAR* name, ContentDriver** driver) override {
    if (std::u16string(name) != u"zeldrive") return 2;
    ++g_State.connections;
    g_Driver.AddRef();
    *driver = &g_Driver;
    return 0;
  }
} g_Loader;

}  // namespace

extern "C" __attribute__((visibility("default"))) uint32_t NotComDllGetInterface(const char* name, void** object) {
  *object = strcmp(name, "QuillLoad2") == 0 ? &g_Loader : nullptr;
  return *object ? 0 : 123;
}

extern "C" __attribute__((visibility("default"))) QuillDoubleState* QuillDoubleGetState() { return &g_State; }
