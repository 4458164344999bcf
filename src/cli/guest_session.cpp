#include "cli/guest_session.h"

#include <cctype>
#include <cstring>

#include <CLI/CLI.hpp>

#include "cli/disk_facts.h"
#include "cli/errors.h"
#include "cli/paths.h"
#include "cli/plugin_loader.h"
#include "platform/status.h"
#include "platform/win_registry.h"
#include "platform/wstr.h"

namespace {

constexpr int kWholeDisk = 255;
// Channels whose lines explain a failed mount or guest operation.
const char* const kGuestChannels[] = {"libvmpeek.so", "libquilldrv.so", "VMParseErrors"};

std::string VolumeName(const GuestVolume& v) {
  std::string where = v.partition == kWholeDisk ? std::string("the whole disk") : "partition " + std::to_string(v.partition);
  return where + " of " + v.image;
}

std::string LetterList(const std::vector<GuestVolume>& volumes) {
  std::string out;
  for (const GuestVolume& v : volumes)
    if (v.letter) out += (out.empty() ? "" : ", ") + std::string(1, v.letter) + ":";
  return out.empty() ? "none" : out;
}

}  // namespace

void AddGuestOptions(CLI::App* command, GuestOptions* options, bool writing) {
  command->add_option("TARGET", options->target, "Disk image, or a machine configuration (.vmx, .vmc)")->required();
  command->add_option("--disk", options->disk, "The machine's disk, counted from 0 (default 0)")->check(CLI::NonNegativeNumber);
  command->add_option("--partition", options->partition,
                      "Volume by partition index as 'vmpeek partitions' lists it, or 'whole' for a disk without "
                      "a partition table");
  command->add_option("--drive", options->drive, "Volume by the drive letter the guest gives it (e.g. D)");
  if (writing)
    command->add_flag("--force", options->force, "Write even to the disk of a suspended machine (saved state)");
}

GuestSession::GuestSession(Host& host, Plugin& plugin, const GuestOptions& options)
    : m_Host(host), m_Plugin(plugin), m_Options(options) {}

GuestSession::~GuestSession() {
  if (m_RegistryLoaded && m_Mounted) m_Mounted->UnLoadRegistry();
  m_Mounted.Reset();
}

std::u16string GuestSession::FullPath(const std::u16string& guestPath) const {
  WCHAR* full = m_Mounted->GetFullPath(guestPath == u"\\" ? u"" : guestPath.c_str());
  if (!full) return {};
  std::u16string out = full;
  m_Mounted->FreeString(full);
  return out;
}

// Lines every mount writes on its way: they explain nothing about a failure.
static bool RoutineLine(const std::string& line) {
  static const char* const kRoutine[] = {"CVmMountControl - need to connect", "NotComDllGetInterface",
                                         "didn't find windows at", "found windows at", "returned 0"};
  for (const char* r : kRoutine)
    if (line.find(r) != std::string::npos) return true;
  return false;
}

int GuestSession::Fail(const std::string& what, uint32_t status) {
  std::vector<std::string> lines;
  for (const char* channel : kGuestChannels)
    for (const std::string& line : m_Host.ChannelLines(channel))
      if (!RoutineLine(line)) lines.push_back(line);
  ReportFailure(m_Options.target, what + ": " + MachineStatusText(status), ExplainingLines(lines));
  return kExitFailure;
}

int GuestSession::LoadDisk(int index, DiskInfo* info) {
  Ref<vmpeek::VirtualDisk> disk;
  NTSTATUS status = m_Host.OpenDisk(info->libraryPath, true, &disk);
  if (status == STATUS_DEVICE_NOT_PARTITIONED) {
    // A blank disk or one filesystem on the whole disk.
    info->unpartitioned = true;
    GuestVolume whole;
    whole.disk = index;
    whole.partition = kWholeDisk;
    whole.image = info->image;
    info->volumes.push_back(whole);
    return kExitOk;
  }
  if (status < 0) return m_Host.FailDisk(info->image, status);
  info->savedState = disk->IsSavedState() != 0;
  unsigned count = disk->GetPartitionCount();
  for (unsigned p = 0; p < count; ++p) {
    Ref<vmpeek::VirtualPartition> partition;
    m_Host.ClearTrace();
    status = disk->GetPartition(static_cast<uint8_t>(p), partition.Out());
    if (status < 0) return m_Host.FailDisk(info->image, status, "partition " + std::to_string(p));
    PartitionFacts facts = CollectPartitionFacts(partition.Get(), p);
    GuestVolume v;
    v.disk = index;
    v.partition = static_cast<int>(p);
    v.image = info->image;
    v.type = facts.type;
    v.bytes = facts.sectors * 512;
    uint32_t bytesPerSector = 0;
    partition->GetGeometry(nullptr, &bytesPerSector, nullptr, nullptr, nullptr, nullptr);
    if (bytesPerSector) v.bytes = facts.sectors * bytesPerSector;
    v.identity = facts.uniqueId;
    info->volumes.push_back(v);
  }
  return kExitOk;
}

int GuestSession::LoadDisks() {
  if (m_DisksLoaded) return kExitOk;
  std::vector<std::pair<std::string, std::u16string>> images;
  if (IsMachinePath(m_Options.target)) {
    std::u16string configPath = ToLibraryPath(m_Options.target);
    Ref<vmpeek::CVirtualMachine> machine;
    uint32_t status = m_Host.OpenMachine(configPath, &machine);
    if (status != 0) {
      ReportFailure(m_Options.target, MachineStatusText(status), m_Host.ErrorLines());
      return kExitFailure;
    }
    m_Suspended = machine->IsSuspended();
    for (int i = 0; i < machine->GetDiskCount(); ++i) {
      const WCHAR* name = machine->GetDiskName(i);
      std::u16string path = ResolveDiskName(configPath, name ? name : u"");
      images.emplace_back(ToPosixPath(path), path);
    }
    if (images.empty()) {
      ReportMessage(m_Options.target + ": the machine has no disks");
      return kExitFailure;
    }
  } else {
    images.emplace_back(m_Options.target, ToLibraryPath(m_Options.target));
  }
  if (m_Options.disk >= static_cast<int>(images.size())) {
    ReportMessage(m_Options.target + ": no disk " + std::to_string(m_Options.disk) + " (the machine has " +
                  std::to_string(images.size()) + ", numbered from 0)");
    return kExitUsage;
  }
  for (size_t i = 0; i < images.size(); ++i) {
    DiskInfo info;
    info.image = images[i].first;
    info.libraryPath = images[i].second;
    // Only the chosen disk must open; the others matter for drive letters alone.
    if (int rc = LoadDisk(static_cast<int>(i), &info); rc != kExitOk && static_cast<int>(i) == m_Options.disk) return rc;
    m_Disks.push_back(std::move(info));
  }
  m_DisksLoaded = true;
  return kExitOk;
}

uint32_t GuestSession::MountVolume(const GuestVolume& volume, bool writable,
                                   Ref<vmpeek::CMountedVirtualPartition>* out) {
  m_Host.ClearTrace();
  uint32_t status = m_Plugin.MountControl()->Mount(m_Disks[volume.disk].libraryPath.c_str(),
                                                   static_cast<uint8_t>(volume.partition), writable ? 1 : 0,
                                                   out->Out());
  if (status == 0 && !*out) status = ERROR_NOT_ENOUGH_MEMORY;
  if (status != 0) out->Reset();
  return status;
}

// The disk's system volume (the one holding \Windows or \WINNT with its hives); without one and
// unless needWindows, the first volume that mounts. The probe mount stays open in *mounted.
int GuestSession::FindSystemVolume(int disk, bool needWindows, GuestVolume* found,
                                   Ref<vmpeek::CMountedVirtualPartition>* mounted) {
  bool haveFirst = false;
  GuestVolume first;
  Ref<vmpeek::CMountedVirtualPartition> firstMount;
  uint32_t lastStatus = 0;
  for (const GuestVolume& v : m_Disks[disk].volumes) {
    Ref<vmpeek::CMountedVirtualPartition> probe;
    uint32_t status = MountVolume(v, false, &probe);
    if (status != 0) {
      lastStatus = status;
      continue;
    }
    if (probe->HasRegistry()) {
      *found = v;
      *mounted = std::move(probe);
      return kExitOk;
    }
    if (!haveFirst) {
      haveFirst = true;
      first = v;
      firstMount = std::move(probe);
    }
  }
  if (haveFirst && !needWindows) {
    *found = first;
    *mounted = std::move(firstMount);
    return kExitOk;
  }
  if (haveFirst || lastStatus == 0) {
    ReportMessage(m_Disks[disk].image + ": no volume holds a Windows system with its registry");
    return kExitFailure;
  }
  return Fail("no volume of " + m_Disks[disk].image + " could be mounted", lastStatus);
}

void GuestSession::AssignLetters(vmpeek::CMountedVirtualPartition* system) {
  for (DiskInfo& disk : m_Disks)
    for (GuestVolume& v : disk.volumes)
      v.letter = v.partition == kWholeDisk ? 0 : static_cast<char>(system->GetDriveLetter(v.identity.data()));
  m_LettersKnown = true;
}

int GuestSession::ChooseVolume(Ref<vmpeek::CMountedVirtualPartition>* probe) {
  const DiskInfo& disk = m_Disks[m_Options.disk];
  if (!m_Options.partition.empty()) {
    int index = -1;
    if (m_Options.partition == "whole") {
      index = kWholeDisk;
    } else {
      char* end = nullptr;
      long n = strtol(m_Options.partition.c_str(), &end, 10);
      if (end && !*end && n >= 0 && n < kWholeDisk) index = static_cast<int>(n);
    }
    if (index < 0) {
      ReportMessage("--partition takes a partition index or 'whole', not '" + m_Options.partition + "'");
      return kExitUsage;
    }
    if (index == kWholeDisk) {
      m_Chosen = GuestVolume{};
      m_Chosen.disk = m_Options.disk;
      m_Chosen.partition = kWholeDisk;
      m_Chosen.image = disk.image;
      return kExitOk;
    }
    if (disk.unpartitioned || index >= static_cast<int>(disk.volumes.size())) {
      ReportMessage(disk.image + ": no partition " + std::to_string(index) + " (the disk has " +
                    std::to_string(disk.unpartitioned ? 0 : disk.volumes.size()) +
                    (disk.unpartitioned ? "; use --partition whole" : ", numbered from 0") + ")");
      return kExitUsage;
    }
    m_Chosen = disk.volumes[index];
    return kExitOk;
  }
  if (!m_Options.drive.empty()) {
    std::string d = m_Options.drive;
    if (d.size() == 2 && d[1] == ':') d.pop_back();
    if (d.size() != 1 || !std::isalpha(static_cast<unsigned char>(d[0]))) {
      ReportMessage("--drive takes a drive letter, not '" + m_Options.drive + "'");
      return kExitUsage;
    }
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(d[0])));
    GuestVolume system;
    Ref<vmpeek::CMountedVirtualPartition> systemMount;
    int rc = kExitFailure;
    for (size_t i = 0; i < m_Disks.size() && rc != kExitOk; ++i) {
      if (m_Disks[i].volumes.empty()) continue;
      rc = FindSystemVolume(static_cast<int>(i), true, &system, &systemMount);
    }
    if (rc != kExitOk) return rc;
    uint32_t status = systemMount->LoadRegistry();
    if (status != 0) return Fail("loading the guest registry to find drive " + std::string(1, letter) + ":", status);
    AssignLetters(systemMount.Get());
    systemMount->UnLoadRegistry();
    std::vector<GuestVolume> all;
    for (const DiskInfo& di : m_Disks) all.insert(all.end(), di.volumes.begin(), di.volumes.end());
    for (const GuestVolume& v : all) {
      if (v.letter != letter) continue;
      m_Chosen = v;
      if (v.disk == system.disk && v.partition == system.partition) *probe = std::move(systemMount);
      return kExitOk;
    }
    ReportMessage(m_Options.target + ": the guest has no drive " + std::string(1, letter) +
                  ": (its drives: " + LetterList(all) + ")");
    return kExitFailure;
  }
  return FindSystemVolume(m_Options.disk, false, &m_Chosen, probe);
}

std::string GuestSession::ReadOnlyReason() {
  std::u16string root = FullPath(u"\\");
  WCHAR fs[64] = {};
  if (!root.empty() && root.back() != u'\\') root += u'\\';
  if (GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fs, 64)) {
    std::string name = Utf16ToUtf8(fs);
    if (!name.empty() && name != "NTFS") return "vmpeek writes only NTFS; this volume is " + name;
  }
  for (const char* channel : kGuestChannels)
    for (const std::string& line : m_Host.ChannelLines(channel)) {
      if (line.find("hibernat") != std::string::npos) return "the NTFS volume is hibernated (Windows fast startup or hibernation)";
      if (line.find("unclean") != std::string::npos || line.find("dirty") != std::string::npos)
        return "the NTFS volume was not cleanly unmounted";
    }
  return "the volume mounts read-only (hibernated or not cleanly unmounted NTFS, or a filesystem without write support)";
}

int GuestSession::Open(bool writable, bool registry) {
  if (int rc = LoadDisks(); rc != kExitOk) return rc;
  if (writable && !m_Options.force) {
    bool saved = m_Suspended;
    for (const DiskInfo& d : m_Disks) saved = saved || d.savedState;
    if (saved) {
      ReportMessage(m_Options.target + ": the machine is suspended (saved state); writing its disk would corrupt "
                    "the machine when it resumes (use --force to write anyway)");
      return kExitFailure;
    }
  }
  Ref<vmpeek::CMountedVirtualPartition> probe;
  if (int rc = ChooseVolume(&probe); rc != kExitOk) return rc;
  if (probe && !writable) {
    m_Mounted = std::move(probe);
  } else {
    probe.Reset();  // a read-only probe would keep the image from opening for writing
    uint32_t status = MountVolume(m_Chosen, writable, &m_Mounted);
    if (status != 0) return Fail("mounting " + VolumeName(m_Chosen), status);
  }
  if (writable && m_Mounted->IsReadOnly()) {
    ReportMessage(m_Options.target + ": " + VolumeName(m_Chosen) + " cannot be written: " + ReadOnlyReason());
    return kExitFailure;
  }
  if (registry) {
    if (!m_Mounted->HasRegistry()) {
      ReportMessage(m_Options.target + ": " + VolumeName(m_Chosen) +
                    " holds no Windows registry (no \\Windows\\System32\\config with SYSTEM, SOFTWARE and DEFAULT)");
      return kExitFailure;
    }
    m_Host.ClearTrace();
    uint32_t status = m_Mounted->LoadRegistry();
    if (status != 0) return Fail("loading the guest registry", status);
    m_RegistryLoaded = true;
  }
  m_Host.ClearTrace();  // what fails from here on explains itself with its own lines
  return kExitOk;
}

int GuestSession::ListVolumes(std::vector<GuestVolume>* volumes) {
  if (int rc = LoadDisks(); rc != kExitOk) return rc;
  if (!m_LettersKnown && m_RegistryLoaded) AssignLetters(m_Mounted.Get());
  volumes->clear();
  for (const DiskInfo& d : m_Disks) volumes->insert(volumes->end(), d.volumes.begin(), d.volumes.end());
  return kExitOk;
}

bool GuestSession::LoadRegistryIfAny(int* rc) {
  *rc = kExitOk;
  if (m_RegistryLoaded) return true;
  if (!m_Mounted || !m_Mounted->HasRegistry()) return false;
  m_Host.ClearTrace();
  uint32_t status = m_Mounted->LoadRegistry();
  if (status != 0) {
    *rc = Fail("loading the guest registry", status);
    return false;
  }
  m_RegistryLoaded = true;
  return true;
}

uint32_t GuestSession::MountOther(const GuestVolume& volume, Ref<vmpeek::CMountedVirtualPartition>* mounted) {
  return MountVolume(volume, false, mounted);
}
