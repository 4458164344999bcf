// Opens what a mount request names: a disk image through libvmpeek.so's own host interface
// (loaded once with the platform loader and kept), then one of its partitions or the whole disk.
// The objects stay open for as long as the result lives.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include "quilldrv/block_device.h"

// The option1 value that mounts the whole disk as one volume.
constexpr uint8_t kWholeDisk = 255;

class ImageSource {
 public:
  ~ImageSource();
  ImageSource(const ImageSource&) = delete;
  ImageSource& operator=(const ImageSource&) = delete;

  // Opens the image at ntPath ("\??\..."), read-write when writable is asked for and possible
  // (an image that cannot be written, such as an ISO, opens read-only). Returns a Win32 status.
  static uint32_t Open(const std::u16string& ntPath, uint8_t partition, bool writable,
                       std::unique_ptr<ImageSource>* result);

  BlockDevice& Device() { return *m_Device; }

 private:
  ImageSource() = default;

  void* m_Module = nullptr;  // libvmpeek.so (never unloaded)
  vmpeek::CVmMountControl* m_Control = nullptr;
  vmpeek::VirtualDisk* m_Disk = nullptr;
  vmpeek::VirtualPartition* m_Partition = nullptr;
  std::unique_ptr<BlockDevice> m_Device;
};
