// The process-wide registry tree: keys held in memory, keys of loaded hives materialised on
// demand (and dropped again when nothing refers to them), volatile keys, symbolic links, key
// handles and per-thread redirection. Every function here expects the registry lock held.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/reg_hive.h"
#include "platform/win_registry.h"

#define ERROR_BAD_PATHNAME 161u

constexpr uint32_t kRegMaxDepth = 512;
constexpr uint32_t kRegMaxLinks = 16;
constexpr size_t kRegMaxKeyName = 255;
constexpr size_t kRegMaxValueName = 16383;

struct RegNode {
  std::u16string name;
  RegNode* parent = nullptr;
  std::map<std::u16string, std::unique_ptr<RegNode>> kids;  // by folded name
  std::vector<HiveValue> values;                            // keys held in memory only
  RegHive* hive = nullptr;                                  // the loaded hive the key is in
  hive_node_h hn = 0;                                       // its node there; 0 when in memory
  std::unique_ptr<RegHive> ownedHive;                       // set on a hive's mount key
  bool isVolatile = false, isLink = false, deleted = false, permanent = false;
  uint32_t handles = 0, depth = 0;
  uint64_t lastWrite = 0;
  // hivex's child and value lists, cached while the key is materialised.
  std::vector<hive_node_h> hiveKids;
  std::vector<hive_value_h> hiveValues;
  bool kidsCached = false, valuesCached = false;
};

struct RegHandleObj {
  RegNode* node;
  uint32_t access;
};

class Registry {
 public:
  static Registry& Get();
  std::recursive_mutex& Lock() { return m_Lock; }

  // The key a handle (or predefined key) stands for; ERROR_INVALID_HANDLE, ERROR_KEY_DELETED or
  // ERROR_ACCESS_DENIED when the handle lacks `need`.
  uint32_t KeyOf(HKEY key, uint32_t need, RegNode** node);
  RegHandleObj* HandleOf(HKEY key);
  HKEY NewHandle(RegNode* node, uint32_t access);
  uint32_t CloseHandleObj(HKEY key);

  // Walks `path` below `base`. On ERROR_FILE_NOT_FOUND, *deepest is the last key reached and
  // *missing the components after it (deepest is null when a link's target is missing).
  uint32_t Lookup(RegNode* base, const std::u16string& path, bool openLinkLast, RegNode** node,
                  RegNode** deepest = nullptr, std::vector<std::u16string>* missing = nullptr);
  uint32_t CreateChild(RegNode* parent, const std::u16string& name, bool isVolatile, bool isLink,
                       RegNode** child);
  uint32_t DeleteKey(RegNode* node);
  uint32_t SubkeyCount(RegNode* node, size_t* count);
  uint32_t SubkeyName(RegNode* node, size_t index, std::u16string* name, uint64_t* lastWrite);
  uint32_t ValueCount(RegNode* node, size_t* count);
  uint32_t ValueAt(RegNode* node, size_t index, HiveValue* value, bool withData);
  uint32_t FindValue(RegNode* node, const std::u16string& name, HiveValue* value, bool withData);
  uint32_t SetValue(RegNode* node, HiveValue value);
  uint32_t DeleteValue(RegNode* node, const std::u16string& name);

  RegNode* Machine() { return m_Machine; }
  RegNode* Users() { return m_Users; }
  uint32_t Mount(RegNode* parent, const std::u16string& name, std::unique_ptr<RegHive> hive);
  uint32_t Unmount(RegNode* mount);
  bool HiveLoadedFrom(const std::u16string& path);
  // Drops the hive keys this call materialised that nothing refers to any more.
  void EndCall();

  uint32_t StartRedirection(HKEY hklm, HKEY hku, HKEY hkcr, HKEY hkcu, const WCHAR* classesPath,
                            const WCHAR* userPath, const WCHAR* privatePath);
  void StopRedirection();

 private:
  Registry();
  RegNode* AddMemoryKey(RegNode* parent, const std::u16string& name);
  uint32_t Child(RegNode* node, const std::u16string& name, RegNode** child);
  uint32_t AbsoluteStart(const std::u16string& path, RegNode** start, std::vector<std::u16string>* comps);
  uint32_t LinkTarget(RegNode* link, std::u16string* target);
  uint32_t CacheKids(RegNode* node);
  uint32_t CacheValues(RegNode* node);
  bool Prunable(const RegNode* node) const;
  void Prune(RegNode* node);
  void Destroy(std::unique_ptr<RegNode> node);
  uint32_t OpenHandlesIn(const RegNode* node) const;

  std::recursive_mutex m_Lock;
  std::unique_ptr<RegNode> m_Root;
  RegNode* m_Machine = nullptr;
  RegNode* m_Users = nullptr;
  RegNode* m_Classes = nullptr;
  RegNode* m_CurrentUser = nullptr;
  std::unordered_set<RegHandleObj*> m_Handles;
  std::vector<std::unique_ptr<RegNode>> m_Deleted;  // deleted keys that handles still refer to
  std::vector<RegNode*> m_Touched;                  // hive keys materialised during this call
};

std::vector<std::u16string> RegSplitPath(const std::u16string& path);
