// A volume provider over a host folder, for tests of the platform's volume routing: names are
// matched ignoring case, read-only mode and flush failures can be switched on.
#pragma once
#include <atomic>
#include <string>
#include "platform/volume_provider.h"

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
  std::atomic<int> m_Flushes{0};

 private:
  std::string HostPath(const std::u16string& path) const;  // existing names matched ignoring case
  std::string m_Dir;
  bool m_ReadOnly;
};
