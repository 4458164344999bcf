// A volume provider over a host folder, for tests of the platform's volume routing: names are
// matched ignoring case, read-only mode and flush failures can be switched on. Also the small
// Win32 helpers the platform's file tests share.
#pragma once
#include <atomic>
#include <cstdlib>
#include <set>
#include <string>
#include "platform/volume_provider.h"
#include "platform/win_file.h"
#include "support/test_support.h"

class FolderVolume : public VolumeProvider {
 public:
  explicit FolderVolume(std::string dir, bool readOnly = false) : m_Dir(std::move(dir)), m_ReadOnly(readOnly) {}
  bool IsReadOnly() override { return m_ReadOnly; }
  uint32_t Open(const std::u16string& path, uint32_t flags, uint32_t disposition, uint32_t attributes,
                std::unique_ptr<VolumeFile>* file, bool* created) override;
  uint32_t GetInfo(const std::u16string& path, VolumeFileInfo* info) override;
  uint32_t ListDirectory(const std::u16string& path,
                         const std::function<bool(const VolumeDirEntry&)>& each) override;
  uint32_t DeleteFile(const std::u16string& path) override;
  uint32_t RemoveDirectory(const std::u16string& path) override;
  uint32_t Rename(const std::u16string& from, const std::u16string& to, bool replace) override;
  uint32_t SetAttributes(const std::u16string& path, uint32_t attributes) override;
  uint32_t Flush() override;

  std::atomic<uint32_t> m_FlushError{0};  // returned by every flush while set

 private:
  std::string HostPath(const std::u16string& path) const;  // existing names matched ignoring case
  std::string m_Dir;
  bool m_ReadOnly;
};

// A FolderVolume over a fresh folder, registered as "\\?\GLOBALROOT\Device\TestVolume{n}".
struct RegisteredVolume {
  vmtest::TempDir dir;
  std::u16string root;
  std::shared_ptr<FolderVolume> provider;
  explicit RegisteredVolume(int n, bool readOnly = false);
  ~RegisteredVolume() { PlatformUnregisterVolume(root); }
};

// 0 when a call succeeded, else the thread's last error.
uint32_t ErrorOf(BOOL ok);
// The same for an open (the handle is closed at once).
uint32_t ErrorOfOpen(const std::u16string& path, uint32_t access, uint32_t share, uint32_t disposition,
                     uint32_t flags = 0);
// The text of a small file, or "<error>".
std::string ReadText(const std::u16string& path);
// The names a search finds; *error is the search's last error (0 when it found something).
std::set<std::u16string> Find(const std::u16string& pattern, uint32_t* error);

// An environment variable set for the life of a scope.
struct ScopedEnv {
  std::string name;
  ScopedEnv(const char* n, const std::string& v) : name(n) { setenv(n, v.c_str(), 1); }
  ~ScopedEnv() { unsetenv(name.c_str()); }
};
