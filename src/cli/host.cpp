#include "cli/host.h"

#include "cli/disk_facts.h"
#include "cli/errors.h"
#include "cli/failure_cause.h"
#include "cli/plugin_loader.h"
#include "cli/trace_paths.h"
#include "platform/status.h"

Host::Host(Plugin& plugin) : m_Control(plugin.MountControl()), m_Inspect(plugin.DiskInspect()) { m_Trace.Attach(); }

NTSTATUS Host::OpenDisk(const std::u16string& path, bool readOnly, Ref<vmpeek::VirtualDisk>* disk) {
  m_Trace.Clear();
  NTSTATUS status = m_Inspect->OpenVirtualDisk(path.c_str(), readOnly ? 1 : 0, disk->Out());
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

std::vector<std::string> Host::RawErrorLines() const {
  std::vector<std::string> lines = m_Trace.Lines("VMParseErrors");
  for (const std::string& line : lines)
    if (!IsRoutineLine(line)) return lines;
  // Some readers report a failure among their details (the configuration file not opening).
  lines.clear();
  for (const std::string& line : m_Trace.Lines("VMParseDetails"))
    if (line.find("fail") != std::string::npos || line.find("error") != std::string::npos) lines.push_back(line);
  return lines;
}

std::vector<std::string> Host::ErrorLines(const std::string& typed) const {
  std::vector<std::string> lines = ExplainingLines(RawErrorLines());
  for (std::string& line : lines) line = HostPathsInLine(line, typed);
  return lines;
}

std::string Host::FailureCause(const std::string& typed) const { return ::FailureCause(RawErrorLines(), typed); }

int Host::FailDisk(const std::string& file, NTSTATUS status, const std::string& what) {
  const std::string cause = FailureCause(file);
  ReportFailure(file, (what.empty() ? "" : what + ": ") + (cause.empty() ? "" : cause + ": ") + NtStatusText(status),
                ErrorLines(file));
  return kExitFailure;
}

Ref<vmpeek::VirtualDisk> Host::Parent(vmpeek::VirtualDisk* disk) {
  Ref<vmpeek::VirtualDisk> parent;
  if (m_Inspect->GetParent(disk, parent.Out()) < 0) parent.Reset();
  return parent;
}

std::optional<std::string> Host::ContentId(vmpeek::VirtualDisk* disk) {
  uint8_t id[16], parentId[16];
  uint32_t size = 0;
  if (m_Inspect->GetContentIds(disk, id, parentId, &size) < 0 || size == 0 || size > 16) return std::nullopt;
  return HexId(id, size);
}

std::vector<std::string> Host::Close(Ref<vmpeek::VirtualPartition>* partition, Ref<vmpeek::VirtualDisk>* disk) {
  m_Trace.Clear();
  partition->Reset();
  disk->Reset();
  return ExplainingLines(m_Trace.Lines("VMParseErrors"));
}
