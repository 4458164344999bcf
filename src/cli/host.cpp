#include "cli/host.h"

#include "cli/errors.h"
#include "cli/plugin_loader.h"
#include "platform/status.h"

Host::Host(Plugin& plugin) : m_Control(plugin.MountControl()), m_Inspect(plugin.DiskInspect()) {
  m_Trace.Attach();
}

NTSTATUS Host::OpenDisk(const std::u16string& path, bool readOnly, Ref<vmpeek::VirtualDisk>* disk) {
  m_Trace.Clear();
  NTSTATUS status = m_Control->OpenVirtualDisk(path.c_str(), readOnly ? 1 : 0, disk->Out());
  if (status >= 0 && !*disk) status = STATUS_UNSUCCESSFUL;
  if (status < 0) disk->Reset();
  return status;
}

uint32_t Host::OpenMachine(const std::u16string& path, Ref<vmpeek::CVirtualMachine>* machine) {
  m_Trace.Clear();
  uint32_t status = m_Control->OpenVirtualMachine(path.c_str(), machine->Out());
  if (status == 0 && !*machine) status = ERROR_NOT_ENOUGH_MEMORY;
  if (status != 0) machine->Reset();
  return status;
}

std::vector<std::string> Host::ErrorLines() const {
  std::vector<std::string> lines = ExplainingLines(m_Trace.Lines("VMParseErrors"));
  if (!lines.empty()) return lines;
  // Some readers report a failure among their details (the configuration file not opening).
  for (const std::string& line : m_Trace.Lines("VMParseDetails"))
    if (line.find("fail") != std::string::npos || line.find("error") != std::string::npos) lines.push_back(line);
  return ExplainingLines(lines);
}

int Host::FailDisk(const std::string& file, NTSTATUS status, const std::string& what) {
  ReportFailure(file, (what.empty() ? "" : what + ": ") + NtStatusText(status), ErrorLines());
  return kExitFailure;
}
