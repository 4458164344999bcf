// The volume driver: one per process, shared by every connection. It mounts volumes of disk
// images, registers each under its root name in the platform's volume namespace, answers the
// six requests and starts and stops the calling thread's redirection.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include "platform/volume_provider.h"

class VolumeDriver {
 public:
  static VolumeDriver& Instance();

  // Win32 status; *returned (when given) receives the bytes written to out.
  uint32_t IoCtl(uint32_t code, const void* in, uint64_t inSize, void* out, uint64_t outSize, uint64_t* returned);

  // The provider of a live mount (null for an unknown id), for callers inside this library.
  std::shared_ptr<VolumeProvider> ProviderFor(uint64_t id);

 private:
  struct Mounted {
    std::u16string root;
    std::shared_ptr<VolumeProvider> provider;
    bool registered = false;
  };

  uint32_t Mount(const void* in, uint64_t inSize, void* out, uint64_t outSize, uint64_t* returned);
  uint32_t Unmount(const void* in, uint64_t inSize);
  uint32_t StartFileRedirection(const void* in, uint64_t inSize);
  uint32_t StartRegistryRedirection(const void* in, uint64_t inSize);
  uint32_t StopRedirection(uint64_t inSize);
  uint32_t ReadOnly(const void* in, uint64_t inSize, void* out, uint64_t outSize, uint64_t* returned);

  std::mutex m_Lock;
  std::map<uint64_t, Mounted> m_Mounts;
  uint64_t m_LastId = 0;
};

// Opens the volume of an image (the filesystem by its signature) as a provider. Win32 status.
uint32_t OpenImageVolume(const std::u16string& ntPath, uint8_t partition, bool writable,
                         std::shared_ptr<VolumeProvider>* provider);
