// The connection to the volume driver, as the driver-link library hands it out; only the slots
// the module calls are named.
#pragma once
#include <cstdint>

class ContentDriver {
 public:
  virtual uint32_t AddRef() = 0;                                                    // 0
  virtual void Release() = 0;                                                       // 1
  virtual void Reserved2() = 0;                                                     // 2
  virtual uint32_t IoCtl(uint32_t code, const void* in, uint64_t inSize, void* out,
                         uint64_t outSize, uint64_t* returned) = 0;                 // 3

 protected:
  ~ContentDriver() = default;
};
