#include "quilldrv/image_source.h"

#include <mutex>

#include "module/trace.h"
#include "platform/loader.h"
#include "platform/status.h"
#include "quilldrv/driver_errors.h"

namespace {

// libvmpeek.so, loaded on the first mount and kept for the process's life (as this library is):
// the images' objects live in it, and loading it again for each mount would only repeat its
// start-up.
void* VmpeekModule(uint32_t* error) {
  static std::mutex lock;
  static void* module = nullptr;
  std::lock_guard<std::mutex> guard(lock);
  if (!module) {
    module = LoadLibraryW(u"vmpeek.dll");
    if (!module) {
      uint32_t err = GetLastError();
      *error = err ? err : ERROR_MOD_NOT_FOUND;
    }
  }
  return module;
}

uint32_t NtToWin32(NTSTATUS st) {
  uint32_t code = RtlNtStatusToDosError(st);
  return code ? code : ERROR_INVALID_FUNCTION;
}

}  // namespace

ImageSource::~ImageSource() {
  m_Device.reset();
  if (m_Partition) m_Partition->Release();
  if (m_Disk) m_Disk->Release();
  if (m_Control) m_Control->Release();
}

uint32_t ImageSource::Open(const std::u16string& ntPath, uint8_t partition, bool writable,
                           std::unique_ptr<ImageSource>* result) {
  std::unique_ptr<ImageSource> src(new ImageSource());
  uint32_t loadError = 0;
  src->m_Module = VmpeekModule(&loadError);
  if (!src->m_Module) {
    TraceNarrow("quilldrv: cannot load vmpeek.dll (error %u)\n", loadError);
    return loadError;
  }
  auto getInterface = reinterpret_cast<PFN_NotComDllGetInterface>(GetProcAddress(src->m_Module, "NotComDllGetInterface"));
  if (!getInterface) return ERROR_PROC_NOT_FOUND;
  void* object = nullptr;
  uint32_t err = getInterface(VMPEEK_MOUNT_CONTROL_INTERFACE, &object);
  if (err != 0 || !object) {
    TraceNarrow("quilldrv: VM_Mount_Control_1 refused with error %u\n", err);
    return err ? err : ERROR_INVALID_FUNCTION;
  }
  src->m_Control = static_cast<vmpeek::CVmMountControl*>(object);

  // The whole disk may carry no partition table at all: the inspection interface opens such a
  // disk where the library has it; the mount control's slot needs partitions (or an ISO).
  const uint8_t readOnly = writable ? 0 : 1;
  NTSTATUS st = STATUS_UNSUCCESSFUL;
  bool opened = false;
  if (partition == kWholeDisk) {
    void* inspectObject = nullptr;
    if (getInterface(VMPEEK_DISK_INSPECT_INTERFACE, &inspectObject) == 0 && inspectObject) {
      auto* inspect = static_cast<vmpeek::CVmDiskInspect*>(inspectObject);
      st = inspect->OpenVirtualDisk(ntPath.c_str(), readOnly, &src->m_Disk);
      inspect->Release();
      opened = true;
    }
  }
  if (!opened) st = src->m_Control->OpenVirtualDisk(ntPath.c_str(), readOnly, &src->m_Disk);
  if (!NT_SUCCESS(st) && writable) {
    // An image the host may only read (a read-only file, a raw image) mounts read-only.
    TraceNarrow("quilldrv: image cannot be opened for writing (status %08x); mounting read-only\n",
                static_cast<uint32_t>(st));
    return Open(ntPath, partition, false, result);
  }
  if (!NT_SUCCESS(st) || !src->m_Disk) {
    TraceNarrow("quilldrv: OpenVirtualDisk failed with status %08x\n", static_cast<uint32_t>(st));
    src->m_Disk = nullptr;
    return NtToWin32(st);
  }
  if (partition != kWholeDisk) {
    st = src->m_Disk->GetPartition(partition, &src->m_Partition);
    if (!NT_SUCCESS(st) || !src->m_Partition) {
      TraceNarrow("quilldrv: partition %u of %u not available (status %08x)\n", partition,
                  src->m_Disk->GetPartitionCount(), static_cast<uint32_t>(st));
      src->m_Partition = nullptr;
      return st == STATUS_INVALID_PARAMETER ? ERROR_INVALID_PARAMETER : NtToWin32(st);
    }
  }
  src->m_Device = std::make_unique<BlockDevice>(src->m_Partition, src->m_Disk);
  if (src->m_Device->Size() == 0) {
    TraceNarrow("quilldrv: the volume is empty\n");
    return ERROR_UNRECOGNIZED_VOLUME;
  }
  *result = std::move(src);
  return ERROR_SUCCESS;
}
