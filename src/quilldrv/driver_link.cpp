#include "quilldrv/driver_link.h"

#include <cstring>

#include "module/trace.h"
#include "platform/status.h"
#include "platform/wstr.h"
#include "quilldrv/volume_driver.h"

namespace {

// One connection to the volume driver; every connection reaches the one driver of the process.
class DriverConnection final : public ContentDriver {
 public:
  uint32_t AddRef() override { return __atomic_add_fetch(&m_RefCount, 1, __ATOMIC_ACQ_REL); }
  void Release() override {
    if (__atomic_sub_fetch(&m_RefCount, 1, __ATOMIC_ACQ_REL) == 0) delete this;
  }
  void Reserved2() override {}
  uint32_t IoCtl(uint32_t code, const void* in, uint64_t inSize, void* out, uint64_t outSize,
                 uint64_t* returned) override {
    return VolumeDriver::Instance().IoCtl(code, in, inSize, out, outSize, returned);
  }

 private:
  ~DriverConnection() = default;
  uint32_t m_RefCount = 1;
};

class Loader final : public QuillLoader {
 public:
  uint32_t AddRef() override { return __atomic_add_fetch(&m_RefCount, 1, __ATOMIC_ACQ_REL); }
  void Release() override {
    if (__atomic_sub_fetch(&m_RefCount, 1, __ATOMIC_ACQ_REL) == 0) delete this;
  }
  void Reserved2() override {}
  uint32_t LoadContentDriver(const WCHAR* name, ContentDriver** driver) override {
    if (!driver) return ERROR_INVALID_PARAMETER;
    *driver = nullptr;
    if (!name || WStrICmpAZ(name, u"zeldrive") != 0) return ERROR_FILE_NOT_FOUND;
    *driver = new (std::nothrow) DriverConnection();
    return *driver ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
  }

 private:
  ~Loader() = default;
  uint32_t m_RefCount = 1;
};

}  // namespace

uint32_t QuillGetInterface(const char* name, void** object) {
  // The driver's lines go to a channel of its own name, as the plug-in's go to "libvmpeek.so".
  static const bool channel = [] {
    SetDefaultTraceChannel(OpenTraceChannel(u"libquilldrv.so"));
    return true;
  }();
  (void)channel;
  if (!name || !object) return ERROR_INVALID_PARAMETER;
  *object = nullptr;
  if (strcmp(name, "QuillLoad2") != 0) return ERROR_INVALID_NAME;
  QuillLoader* loader = new (std::nothrow) Loader();
  if (!loader) return ERROR_NOT_ENOUGH_MEMORY;
  *object = loader;
  return ERROR_SUCCESS;
}
