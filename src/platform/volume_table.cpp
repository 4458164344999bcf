// Registered volumes, per-thread file redirection, and share modes inside volumes.
#include "platform/volume_table.h"

#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/host_names.h"
#include "platform/path.h"
#include "platform/status.h"

namespace {

struct Namespace {
  std::shared_mutex lock;
  std::map<std::u16string, VolumeMatch> volumes;  // by canonical key
};

Namespace& TheNamespace() {
  static Namespace* n = new Namespace;
  return *n;
}

struct Opener {
  uint64_t token;
  uint32_t access;
  uint32_t share;
};

struct ShareEntry {
  std::vector<Opener> openers;
  bool deletePending = false;
};

struct ShareTable {
  std::mutex lock;
  std::map<std::u16string, ShareEntry> files;
  uint64_t nextToken = 1;
};

ShareTable& TheShares() {
  static ShareTable* t = new ShareTable;
  return *t;
}

struct Redirection {
  char16_t letter = 0;
  std::u16string key;
};
thread_local Redirection t_Redirection;

bool StartsWithFolded(const std::u16string& s, const std::u16string& prefix) {
  return s.size() >= prefix.size() && FoldName(s.substr(0, prefix.size())) == prefix;
}

// Canonical prefix form of a path: returns the text and how many units of the original were
// dropped in front (for "\\?\GLOBALROOT").
std::u16string CanonicalForm(const std::u16string& path, size_t* dropped) {
  std::u16string p = path;
  *dropped = 0;
  if (p.size() >= 4 && (p[0] == u'\\' || p[0] == u'/') && (p[3] == u'\\' || p[3] == u'/') &&
      ((p[1] == u'?' && p[2] == u'?') || ((p[1] == u'\\' || p[1] == u'/') && (p[2] == u'?' || p[2] == u'.')))) {
    p.replace(0, 4, u"\\\\?\\");
    if (StartsWithFolded(p, u"\\\\?\\GLOBALROOT") && (p.size() == 14 || p[14] == u'\\' || p[14] == u'/')) {
      p.erase(0, 14);
      *dropped = 14;
    }
  }
  return FoldName(p);
}

}  // namespace

std::u16string VolumeCanonicalRoot(const std::u16string& root) {
  size_t dropped;
  std::u16string c = CanonicalForm(root, &dropped);
  while (c.size() > 1 && (c.back() == u'\\' || c.back() == u'/')) c.pop_back();
  for (auto& ch : c)
    if (ch == u'/') ch = u'\\';
  return c;
}

bool VolumeMatchPath(const std::u16string& path, VolumeMatch* match) {
  Namespace& ns = TheNamespace();
  std::shared_lock<std::shared_mutex> g(ns.lock);
  if (ns.volumes.empty()) return false;
  size_t dropped;
  std::u16string c = CanonicalForm(path, &dropped);
  for (auto& ch : c)
    if (ch == u'/') ch = u'\\';
  const VolumeMatch* best = nullptr;
  for (const auto& [key, v] : ns.volumes) {
    if (c.size() < key.size() || c.compare(0, key.size(), key) != 0) continue;
    if (c.size() > key.size() && c[key.size()] != u'\\') continue;
    if (!best || key.size() > best->key.size()) best = &v;
  }
  if (!best) return false;
  *match = *best;
  match->restOffset = best->key.size() + dropped;
  return true;
}

bool VolumeByKey(const std::u16string& key, VolumeMatch* match) {
  Namespace& ns = TheNamespace();
  std::shared_lock<std::shared_mutex> g(ns.lock);
  auto it = ns.volumes.find(key);
  if (it == ns.volumes.end()) return false;
  *match = it->second;
  return true;
}

char16_t VolumeRedirectedDrive(std::u16string* key) {
  if (t_Redirection.letter && key) *key = t_Redirection.key;
  return t_Redirection.letter;
}

uint32_t VolumeShareAcquire(const std::u16string& fileKey, uint32_t access, uint32_t share, uint64_t* token) {
  *token = 0;
  if (!access) return ERROR_SUCCESS;  // an opener without data access takes part in no sharing
  ShareTable& t = TheShares();
  std::lock_guard<std::mutex> g(t.lock);
  ShareEntry& e = t.files[fileKey];
  for (const Opener& o : e.openers) {
    if ((access & ~o.share) || (o.access & ~share)) {
      if (e.openers.empty()) t.files.erase(fileKey);
      return ERROR_SHARING_VIOLATION;
    }
  }
  if (e.deletePending && !e.openers.empty()) return ERROR_ACCESS_DENIED;  // as Windows: delete pending
  *token = t.nextToken++;
  e.openers.push_back({*token, access, share});
  return ERROR_SUCCESS;
}

bool VolumeShareRelease(const std::u16string& fileKey, uint64_t token, bool deleteOnClose) {
  ShareTable& t = TheShares();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.files.find(fileKey);
  if (it == t.files.end()) return deleteOnClose;
  ShareEntry& e = it->second;
  for (size_t i = 0; i < e.openers.size(); ++i) {
    if (e.openers[i].token == token) {
      e.openers.erase(e.openers.begin() + static_cast<long>(i));
      break;
    }
  }
  if (deleteOnClose) e.deletePending = true;
  if (!e.openers.empty()) return false;
  bool del = e.deletePending;
  t.files.erase(it);
  return del;
}

bool VolumeShareDeleteAllowed(const std::u16string& fileKey) {
  ShareTable& t = TheShares();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.files.find(fileKey);
  if (it == t.files.end()) return true;
  for (const Opener& o : it->second.openers)
    if (!(o.share & SHARE_ACCESS_DELETE)) return false;
  return true;
}

uint32_t PlatformRegisterVolume(const std::u16string& root, std::shared_ptr<VolumeProvider> provider) {
  if (!provider || root.empty()) return ERROR_INVALID_PARAMETER;
  if (root.size() > PLATFORM_VOLUME_ROOT_MAX) return ERROR_FILENAME_EXCED_RANGE;
  std::u16string key = VolumeCanonicalRoot(root);
  // A root never shadows a drive letter or a drive's device name.
  bool drive = key.size() >= 6 && key.compare(0, 4, u"\\\\?\\") == 0 && key[5] == u':';
  if (key.size() < 2 || key[0] != u'\\' || drive || key.rfind(u"\\DEVICE\\VMPEEKDRIVE_", 0) == 0)
    return ERROR_INVALID_NAME;
  Namespace& ns = TheNamespace();
  std::unique_lock<std::shared_mutex> g(ns.lock);
  if (ns.volumes.count(key)) return ERROR_ALREADY_EXISTS;
  VolumeMatch v;
  v.provider = std::move(provider);
  v.key = key;
  v.root = root;
  while (v.root.size() > 1 && (v.root.back() == u'\\' || v.root.back() == u'/')) v.root.pop_back();
  ns.volumes.emplace(key, std::move(v));
  return ERROR_SUCCESS;
}

uint32_t PlatformUnregisterVolume(const std::u16string& root) {
  std::u16string key = VolumeCanonicalRoot(root);
  std::shared_ptr<VolumeProvider> provider;
  {
    Namespace& ns = TheNamespace();
    std::unique_lock<std::shared_mutex> g(ns.lock);
    auto it = ns.volumes.find(key);
    if (it == ns.volumes.end()) return ERROR_FILE_NOT_FOUND;
    provider = std::move(it->second.provider);
    ns.volumes.erase(it);
  }
  return provider->Flush();
}

uint32_t PlatformStartFileRedirection(const WCHAR* deviceName, const WCHAR* volumeRoot) {
  if (!deviceName || !volumeRoot) return ERROR_INVALID_PARAMETER;
  char16_t letter = PlatformDriveOfDevice(deviceName);
  if (!letter) return ERROR_FILE_NOT_FOUND;
  VolumeMatch v;
  if (!VolumeByKey(VolumeCanonicalRoot(volumeRoot), &v)) return ERROR_FILE_NOT_FOUND;
  t_Redirection.letter = letter;
  t_Redirection.key = v.key;
  return ERROR_SUCCESS;
}

void PlatformStopFileRedirection() {
  t_Redirection.letter = 0;
  t_Redirection.key.clear();
}
