// The library as the commands use it: opening disks and machines through the mount control,
// with the trace memory cleared before each call so that a failure can be explained.
#pragma once
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

  // Opens an image by its library path; the status of the mount control's OpenVirtualDisk.
  NTSTATUS OpenDisk(const std::u16string& path, bool readOnly, Ref<vmpeek::VirtualDisk>* disk);
  // Opens a configuration; the factory's Win32 or COM status (a missing object counts as failure).
  uint32_t OpenMachine(const std::u16string& path, Ref<vmpeek::CVirtualMachine>* machine);

  // Forget the remembered trace lines (before a library call) / the lines explaining a failure.
  void ClearTrace() { m_Trace.Clear(); }
  std::vector<std::string> ErrorLines() const;
  // The plug-in's inspection interface, or null when it offers none.
  vmpeek::CVmDiskInspect* Inspect() const { return m_Inspect; }

  // Reports a failed disk call (status and explaining lines) and returns the failure exit status.
  int FailDisk(const std::string& file, NTSTATUS status, const std::string& what = "");

 private:
  vmpeek::CVmMountControl* m_Control;
  vmpeek::CVmDiskInspect* m_Inspect;
  TraceMemory m_Trace;
};
