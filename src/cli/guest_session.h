// A guest volume mounted for a command: the target (an image or a machine configuration), the
// disk and volume chosen on the command line (or the guest's system volume), the mount through
// the plug-in, and the guest registry when the command needs it.
#pragma once
#include <array>
#include <map>
#include <string>
#include <vector>

#include "cli/host.h"

namespace CLI {
class App;
}

struct GuestOptions {
  std::string target;     // image or .vmx/.vmc
  int disk = 0;           // the machine's disk
  std::string partition;  // "", a number, or "whole"
  std::string drive;      // "", or the guest's letter
  bool force = false;     // write to a suspended machine's disk
};

// --disk, --partition, --drive (and --force for writing commands).
void AddGuestOptions(CLI::App* command, GuestOptions* options, bool writing);

// One partition of one disk of the target, as the guest's drive letters name them.
struct GuestVolume {
  int disk = 0;
  int partition = 0;  // 255: the whole disk
  std::string image;  // POSIX path of the disk image
  uint8_t type = 0;
  uint64_t bytes = 0;
  std::array<uint8_t, 16> identity{};
  char letter = 0;  // the guest's drive letter, 0 if none
};

class GuestSession {
 public:
  GuestSession(Host& host, Plugin& plugin, const GuestOptions& options);
  ~GuestSession();
  GuestSession(const GuestSession&) = delete;
  GuestSession& operator=(const GuestSession&) = delete;

  // Mounts the chosen volume (writable: read-write, refusing a suspended machine without
  // --force and a volume that mounts read-only) and, with registry, loads the guest registry.
  // Returns kExitOk or the exit status after reporting why not.
  int Open(bool writable, bool registry);

  // Loads the guest registry of the mounted volume when it holds one; false when it does not (a
  // failed load is reported and is an error: *rc is set).
  bool LoadRegistryIfAny(int* rc);
  bool RegistryLoaded() const { return m_RegistryLoaded; }
  // Mounts another volume of the target read-only (for its filesystem name and label).
  uint32_t MountOther(const GuestVolume& volume, Ref<vmpeek::CMountedVirtualPartition>* mounted);
  vmpeek::CMountedVirtualPartition* Volume() const { return m_Mounted.Get(); }
  const GuestVolume& Chosen() const { return m_Chosen; }
  // The host form of a path inside the volume (root name + path).
  std::u16string FullPath(const std::u16string& guestPath) const;
  // Every partition of every disk of the target with the guest's letters (needs the registry
  // of the system volume, which Open(…, true) loaded; letters stay 0 without it).
  int ListVolumes(std::vector<GuestVolume>* volumes);
  // Reports a failed Win32 call on a guest path or key: the status by name and number and the
  // explaining trace lines.
  int Fail(const std::string& what, uint32_t status);
  const std::string& Target() const { return m_Options.target; }

 private:
  struct DiskInfo {
    std::string image;  // POSIX
    std::u16string libraryPath;
    bool savedState = false;
    bool unpartitioned = false;
    std::vector<GuestVolume> volumes;
  };
  int LoadDisks();
  int LoadDisk(int index, DiskInfo* info);
  uint32_t MountVolume(const GuestVolume& volume, bool writable, Ref<vmpeek::CMountedVirtualPartition>* out);
  int FindSystemVolume(int disk, bool needWindows, GuestVolume* found, Ref<vmpeek::CMountedVirtualPartition>* mounted);
  int ChooseVolume(Ref<vmpeek::CMountedVirtualPartition>* probe);
  void AssignLetters(vmpeek::CMountedVirtualPartition* system);
  std::string ReadOnlyReason();

  Host& m_Host;
  Plugin& m_Plugin;
  GuestOptions m_Options;
  bool m_Suspended = false;
  std::vector<DiskInfo> m_Disks;
  bool m_DisksLoaded = false;
  GuestVolume m_Chosen;
  Ref<vmpeek::CMountedVirtualPartition> m_Mounted;
  bool m_RegistryLoaded = false;
  bool m_LettersKnown = false;
};
