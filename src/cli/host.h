// The library as the commands use it: opening disks and machines through the mount control,
// with the trace memory cleared before each call so that a failure can be explained.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "cli/object_ref.h"
#include "cli/trace_memory.h"
#include "vmpeek/vmpeek.h"

class Plugin;

class Host {
 public:
  explicit Host(Plugin& plugin);
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Opens an image by its library path through the disk inspection interface, so that disks
  // without a partition table open too (with no partitions); the status of its OpenVirtualDisk.
  NTSTATUS OpenDisk(const std::u16string& path, bool readOnly, Ref<vmpeek::VirtualDisk>* disk);
  // The opened parent of a differencing disk (empty without one).
  Ref<vmpeek::VirtualDisk> Parent(vmpeek::VirtualDisk* disk);
  // The disk's content id as lowercase hex (a VMDK's CID, a VHD's unique id); nothing for raw images.
  std::optional<std::string> ContentId(vmpeek::VirtualDisk* disk);
  // Releases an image written to (and what else holds it, e.g. its partition) and returns the
  // error lines the library wrote meanwhile: closing the files is their final flush.
  std::vector<std::string> Close(Ref<vmpeek::VirtualPartition>* partition, Ref<vmpeek::VirtualDisk>* disk);
  // Opens a configuration; the factory's Win32 or COM status (a missing object counts as failure).
  uint32_t OpenMachine(const std::u16string& path, Ref<vmpeek::CVirtualMachine>* machine);

  // Forget the remembered trace lines (before a library call) / the lines explaining a failure,
  // with library paths shown as host paths (beside `typed`, the path the user gave, in its form).
  void ClearTrace() { m_Trace.Clear(); }
  std::vector<std::string> ErrorLines(const std::string& typed = "") const;
  // What the failure's lines name as its cause ("VHDX is not supported yet", "parent not found:
  // tried ..."), or "".
  std::string FailureCause(const std::string& typed) const;
  // The remembered lines of one channel since the last ClearTrace.
  std::vector<std::string> ChannelLines(const char* channel) const { return m_Trace.Lines(channel); }
  // The plug-in's disk inspection interface (a plug-in without it does not load).
  vmpeek::CVmDiskInspect* Inspect() const { return m_Inspect; }

  // Reports a failed disk call (cause, status and explaining lines) and returns the failure exit
  // status.
  int FailDisk(const std::string& file, NTSTATUS status, const std::string& what = "");

 private:
  std::vector<std::string> RawErrorLines() const;

  vmpeek::CVmMountControl* m_Control;
  vmpeek::CVmDiskInspect* m_Inspect;
  TraceMemory m_Trace;
};
