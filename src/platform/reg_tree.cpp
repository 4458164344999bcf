// The registry tree.
#include "platform/reg_tree.h"

#include <ctime>
#include <unordered_map>

#include "platform/platform_trace.h"
#include "platform/token.h"
#include "platform/wstr.h"

namespace {

// FILETIME of now (100 ns units since 1601).
uint64_t Now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

struct Redirection {
  bool active = false;
  HKEY keys[4] = {};  // HKLM, HKU, HKCR, HKCU
  std::vector<std::u16string> classes, user, priv;  // folded components
};
thread_local Redirection t_Redirect;

// Index into Redirection::keys of a predefined key, or -1.
int PredefinedIndex(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return 0;
  if (key == HKEY_USERS) return 1;
  if (key == HKEY_CLASSES_ROOT) return 2;
  if (key == HKEY_CURRENT_USER) return 3;
  return -1;
}

bool IsPredefinedRange(HKEY key) {
  uintptr_t v = reinterpret_cast<uintptr_t>(key);
  return v >= 0xFFFFFFFF80000000ull && v <= 0xFFFFFFFF800000FFull;
}

bool HasPrefix(const std::vector<std::u16string>& comps, const std::vector<std::u16string>& prefix) {
  if (prefix.empty() || comps.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (RegFold(comps[i]) != prefix[i]) return false;
  return true;
}

uint32_t NormaliseAccess(uint32_t access) {
  if (access & 0x80000000u) access |= KEY_READ;         // GENERIC_READ
  if (access & 0x40000000u) access |= KEY_WRITE;        // GENERIC_WRITE
  if (access & 0x20000000u) access |= KEY_READ;         // GENERIC_EXECUTE
  if (access & 0x12000000u) access |= KEY_ALL_ACCESS;   // GENERIC_ALL, MAXIMUM_ALLOWED
  return access;
}

}  // namespace

std::vector<std::u16string> RegSplitPath(const std::u16string& path) {
  std::vector<std::u16string> comps;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) comps.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return comps;
}

Registry& Registry::Get() {
  static Registry* registry = new Registry();  // lives as long as the process
  return *registry;
}

Registry::Registry() {
  m_Root = std::make_unique<RegNode>();
  m_Root->permanent = true;
  RegNode* reg = AddMemoryKey(m_Root.get(), u"Registry");
  m_Machine = AddMemoryKey(reg, u"Machine");
  m_Users = AddMemoryKey(reg, u"User");
  RegNode* software = AddMemoryKey(m_Machine, u"SOFTWARE");
  m_Classes = AddMemoryKey(software, u"Classes");
  AddMemoryKey(m_Machine, u"SYSTEM");
  AddMemoryKey(m_Machine, u"HARDWARE")->isVolatile = true;
  AddMemoryKey(m_Users, u".DEFAULT");
  m_CurrentUser = AddMemoryKey(m_Users, ProcessUserSid());
  AddMemoryKey(m_Users, ProcessUserSid() + u"_Classes");
}

RegNode* Registry::AddMemoryKey(RegNode* parent, const std::u16string& name) {
  auto node = std::make_unique<RegNode>();
  node->name = name;
  node->parent = parent;
  node->permanent = true;
  node->depth = parent->depth + 1;
  node->lastWrite = Now();
  RegNode* raw = node.get();
  parent->kids[RegFold(name)] = std::move(node);
  return raw;
}

RegHandleObj* Registry::HandleOf(HKEY key) {
  auto it = m_Handles.find(reinterpret_cast<RegHandleObj*>(key));
  return it == m_Handles.end() ? nullptr : *it;
}

uint32_t Registry::KeyOf(HKEY key, uint32_t need, RegNode** node) {
  *node = nullptr;
  int pre = PredefinedIndex(key);
  if (pre >= 0) {
    if (t_Redirect.active && t_Redirect.keys[pre]) {
      RegHandleObj* h = HandleOf(t_Redirect.keys[pre]);
      if (!h) return ERROR_INVALID_HANDLE;
      *node = h->node;
    } else {
      RegNode* roots[4] = {m_Machine, m_Users, m_Classes, m_CurrentUser};
      *node = roots[pre];
    }
    return (*node)->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
  }
  if (IsPredefinedRange(key)) return ERROR_INVALID_HANDLE;
  RegHandleObj* h = HandleOf(key);
  if (!h) return ERROR_INVALID_HANDLE;
  if ((h->access & need) != need) return ERROR_ACCESS_DENIED;
  if (h->node->deleted) return ERROR_KEY_DELETED;
  *node = h->node;
  return ERROR_SUCCESS;
}

HKEY Registry::NewHandle(RegNode* node, uint32_t access) {
  auto* h = new RegHandleObj{node, NormaliseAccess(access)};
  m_Handles.insert(h);
  ++node->handles;
  return reinterpret_cast<HKEY>(h);
}

uint32_t Registry::CloseHandleObj(HKEY key) {
  RegHandleObj* h = HandleOf(key);
  if (!h) return ERROR_INVALID_HANDLE;
  m_Handles.erase(h);
  RegNode* node = h->node;
  delete h;
  if (--node->handles == 0) {
    if (node->deleted) {
      for (auto it = m_Deleted.begin(); it != m_Deleted.end(); ++it) {
        if (it->get() == node) {
          std::unique_ptr<RegNode> gone = std::move(*it);
          m_Deleted.erase(it);
          Destroy(std::move(gone));
          break;
        }
      }
    } else {
      Prune(node);
    }
  }
  return ERROR_SUCCESS;
}

uint32_t Registry::Child(RegNode* node, const std::u16string& name, RegNode** child) {
  *child = nullptr;
  std::u16string folded = RegFold(name);
  auto it = node->kids.find(folded);
  if (it != node->kids.end()) {
    *child = it->second.get();
    return ERROR_SUCCESS;
  }
  if (!node->hn) return ERROR_SUCCESS;
  hive_node_h c = 0;
  uint32_t st = node->hive->FindChild(node->hn, name, &c);
  if (st != ERROR_SUCCESS || !c) return st;
  if (node->depth + 1 > kRegMaxDepth + 3) {
    PlatformTrace(u"Registry: a hive key lies deeper than %u levels; refused\n", kRegMaxDepth);
    return ERROR_REGISTRY_CORRUPT;
  }
  auto kid = std::make_unique<RegNode>();
  kid->name = name;  // equal to the hive's name but for case; enumeration reads the hive's
  kid->parent = node;
  kid->hive = node->hive;
  kid->hn = c;
  kid->depth = node->depth + 1;
  kid->lastWrite = node->hive->Timestamp(c);
  *child = kid.get();
  m_Touched.push_back(kid.get());
  node->kids[folded] = std::move(kid);
  return ERROR_SUCCESS;
}

uint32_t Registry::AbsoluteStart(const std::u16string& path, RegNode** start, std::vector<std::u16string>* comps) {
  if (path.empty() || path[0] != u'\\') return ERROR_FILE_NOT_FOUND;
  *comps = RegSplitPath(path);
  *start = m_Root.get();
  const Redirection& r = t_Redirect;
  if (!r.active || HasPrefix(*comps, r.priv)) return ERROR_SUCCESS;
  const std::vector<std::u16string>* prefixes[2] = {&r.classes, &r.user};
  HKEY keys[2] = {r.keys[2], r.keys[3]};
  for (int i = 0; i < 2; ++i) {
    if (!keys[i] || !HasPrefix(*comps, *prefixes[i])) continue;
    RegHandleObj* h = HandleOf(keys[i]);
    if (!h || h->node->deleted) return ERROR_FILE_NOT_FOUND;
    comps->erase(comps->begin(), comps->begin() + static_cast<ptrdiff_t>(prefixes[i]->size()));
    *start = h->node;
    break;
  }
  return ERROR_SUCCESS;
}

uint32_t Registry::LinkTarget(RegNode* link, std::u16string* target) {
  HiveValue v;
  uint32_t st = FindValue(link, u"SymbolicLinkValue", &v, true);
  if (st != ERROR_SUCCESS) return st;
  if (v.type != REG_LINK) return ERROR_FILE_NOT_FOUND;
  target->assign(reinterpret_cast<const char16_t*>(v.data.data()), v.data.size() / 2);
  while (!target->empty() && target->back() == 0) target->pop_back();
  return ERROR_SUCCESS;
}

uint32_t Registry::Lookup(RegNode* base, const std::u16string& path, bool openLinkLast, RegNode** node,
                          RegNode** deepest, std::vector<std::u16string>* missing) {
  *node = nullptr;
  if (deepest) *deepest = nullptr;
  if (!path.empty() && path[0] == u'\\') return ERROR_BAD_PATHNAME;
  std::vector<std::u16string> comps = RegSplitPath(path);
  if (comps.size() > kRegMaxDepth) return ERROR_FILENAME_EXCED_RANGE;
  RegNode* cur = base;
  size_t i = 0, linkPrefix = 0;
  uint32_t links = 0;
  while (i < comps.size()) {
    RegNode* child = nullptr;
    uint32_t st = Child(cur, comps[i], &child);
    if (st != ERROR_SUCCESS) return st;
    if (!child) {
      if (deepest) *deepest = i < linkPrefix ? nullptr : cur;
      if (missing) missing->assign(comps.begin() + static_cast<ptrdiff_t>(i), comps.end());
      return ERROR_FILE_NOT_FOUND;
    }
    bool last = i + 1 == comps.size();
    if (child->isLink && !(last && openLinkLast)) {
      if (++links > kRegMaxLinks) {
        PlatformTrace(u"Registry: more than %u symbolic links on the way to %s\n", kRegMaxLinks, path.c_str());
        return ERROR_CANT_RESOLVE_FILENAME;
      }
      std::u16string target;
      std::vector<std::u16string> next;
      RegNode* start = nullptr;
      if ((st = LinkTarget(child, &target)) != ERROR_SUCCESS) return st;
      if ((st = AbsoluteStart(target, &start, &next)) != ERROR_SUCCESS) return st;
      linkPrefix = next.size();
      next.insert(next.end(), comps.begin() + static_cast<ptrdiff_t>(i) + 1, comps.end());
      if (next.size() > kRegMaxDepth) return ERROR_FILENAME_EXCED_RANGE;
      comps.swap(next);
      cur = start;
      i = 0;
      continue;
    }
    cur = child;
    ++i;
  }
  *node = cur;
  return ERROR_SUCCESS;
}

uint32_t Registry::CreateChild(RegNode* parent, const std::u16string& name, bool isVolatile, bool isLink,
                               RegNode** child) {
  *child = nullptr;
  if (name.empty() || name.size() > kRegMaxKeyName) return ERROR_INVALID_PARAMETER;
  if (parent->deleted) return ERROR_KEY_DELETED;
  if (parent == m_Root.get() || parent->depth + 1 > kRegMaxDepth) return ERROR_INVALID_PARAMETER;
  if (parent->isVolatile && !isVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
  auto kid = std::make_unique<RegNode>();
  kid->name = name;
  kid->parent = parent;
  kid->hive = parent->hive;
  kid->isVolatile = isVolatile;
  kid->isLink = isLink;
  kid->depth = parent->depth + 1;
  kid->lastWrite = Now();
  if (parent->hn && !isVolatile) {
    if (name.find(u'\0') != std::u16string::npos) return ERROR_INVALID_PARAMETER;
    uint32_t st = parent->hive->AddChild(parent->hn, name, &kid->hn);
    if (st != ERROR_SUCCESS) return st;
    parent->kidsCached = false;
  }
  *child = kid.get();
  parent->kids[RegFold(name)] = std::move(kid);
  parent->lastWrite = Now();
  return ERROR_SUCCESS;
}

uint32_t Registry::CacheKids(RegNode* node) {
  if (!node->hn || node->kidsCached) return ERROR_SUCCESS;
  uint32_t st = node->hive->Children(node->hn, &node->hiveKids);
  node->kidsCached = st == ERROR_SUCCESS;
  return st;
}

uint32_t Registry::CacheValues(RegNode* node) {
  if (!node->hn || node->valuesCached) return ERROR_SUCCESS;
  uint32_t st = node->hive->Values(node->hn, &node->hiveValues);
  node->valuesCached = st == ERROR_SUCCESS;
  return st;
}

uint32_t Registry::SubkeyCount(RegNode* node, size_t* count) {
  uint32_t st = CacheKids(node);
  if (st != ERROR_SUCCESS) return st;
  size_t n = node->hn ? node->hiveKids.size() : 0;
  for (auto& kid : node->kids)
    if (!kid.second->hn) ++n;
  *count = n;
  return ERROR_SUCCESS;
}

uint32_t Registry::SubkeyName(RegNode* node, size_t index, std::u16string* name, uint64_t* lastWrite) {
  uint32_t st = CacheKids(node);
  if (st != ERROR_SUCCESS) return st;
  if (node->hn) {
    if (index < node->hiveKids.size()) {
      hive_node_h k = node->hiveKids[index];
      *lastWrite = node->hive->Timestamp(k);
      return node->hive->Name(k, name);
    }
    index -= node->hiveKids.size();
  }
  for (auto& kid : node->kids) {
    if (kid.second->hn) continue;
    if (index-- == 0) {
      *name = kid.second->name;
      *lastWrite = kid.second->lastWrite;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_NO_MORE_ITEMS;
}

uint32_t Registry::ValueCount(RegNode* node, size_t* count) {
  if (!node->hn) {
    *count = node->values.size();
    return ERROR_SUCCESS;
  }
  uint32_t st = CacheValues(node);
  *count = node->hiveValues.size();
  return st;
}

uint32_t Registry::ValueAt(RegNode* node, size_t index, HiveValue* value, bool withData) {
  if (!node->hn) {
    if (index >= node->values.size()) return ERROR_NO_MORE_ITEMS;
    const HiveValue& v = node->values[index];
    value->name = v.name;
    value->type = v.type;
    if (withData) value->data = v.data;
    else value->data.resize(v.data.size());
    return ERROR_SUCCESS;
  }
  uint32_t st = CacheValues(node);
  if (st != ERROR_SUCCESS) return st;
  if (index >= node->hiveValues.size()) return ERROR_NO_MORE_ITEMS;
  hive_value_h h = node->hiveValues[index];
  if ((st = node->hive->ValueName(h, &value->name)) != ERROR_SUCCESS) return st;
  if (withData) return node->hive->ValueData(h, value);
  uint32_t size = 0;
  st = node->hive->ValueInfo(h, &value->type, &size);
  value->data.clear();
  value->data.resize(size);  // only the size is wanted; a vector of zeros keeps the interface simple
  return st;
}

uint32_t Registry::FindValue(RegNode* node, const std::u16string& name, HiveValue* value, bool withData) {
  if (!node->hn) {
    std::u16string want = RegFold(name);
    for (const HiveValue& v : node->values) {
      if (RegFold(v.name) != want) continue;
      *value = v;
      return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
  }
  hive_value_h h = 0;
  uint32_t st = node->hive->FindValue(node->hn, name, &h);
  if (st != ERROR_SUCCESS) return st;
  if (!h) return ERROR_FILE_NOT_FOUND;
  value->name = name;
  if (withData) return node->hive->ValueData(h, value);
  uint32_t size = 0;
  st = node->hive->ValueInfo(h, &value->type, &size);
  value->data.assign(size, 0);
  return st;
}

uint32_t Registry::SetValue(RegNode* node, HiveValue value) {
  node->lastWrite = Now();
  if (node->hn) {
    node->valuesCached = false;
    return node->hive->SetValue(node->hn, value);
  }
  std::u16string want = RegFold(value.name);
  for (HiveValue& v : node->values) {
    if (RegFold(v.name) != want) continue;
    v.type = value.type;
    v.data = std::move(value.data);
    return ERROR_SUCCESS;
  }
  node->values.push_back(std::move(value));
  return ERROR_SUCCESS;
}

uint32_t Registry::DeleteValue(RegNode* node, const std::u16string& name) {
  if (node->hn) {
    node->valuesCached = false;
    return node->hive->DeleteValue(node->hn, name);
  }
  std::u16string want = RegFold(name);
  for (auto it = node->values.begin(); it != node->values.end(); ++it) {
    if (RegFold(it->name) != want) continue;
    node->values.erase(it);
    node->lastWrite = Now();
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

uint32_t Registry::DeleteKey(RegNode* node) {
  if (node->permanent || node->ownedHive || !node->parent) return ERROR_ACCESS_DENIED;
  size_t kids = 0;
  uint32_t st = SubkeyCount(node, &kids);
  if (st != ERROR_SUCCESS) return st;
  if (kids) return ERROR_ACCESS_DENIED;
  RegNode* parent = node->parent;
  if (node->hn) {
    if ((st = node->hive->DeleteNode(node->hn)) != ERROR_SUCCESS) return st;
    parent->kidsCached = false;
  }
  auto it = parent->kids.find(RegFold(node->name));
  if (it == parent->kids.end() || it->second.get() != node) {
    // The key was found under a name that folds differently (a hostile hive); look it up.
    for (it = parent->kids.begin(); it != parent->kids.end() && it->second.get() != node; ++it) {}
  }
  if (it == parent->kids.end()) return ERROR_REGISTRY_CORRUPT;
  std::unique_ptr<RegNode> gone = std::move(it->second);
  parent->kids.erase(it);
  parent->lastWrite = Now();
  gone->deleted = true;
  gone->parent = nullptr;
  if (gone->handles) m_Deleted.push_back(std::move(gone));
  else Destroy(std::move(gone));
  Prune(parent);
  return ERROR_SUCCESS;
}

bool Registry::Prunable(const RegNode* node) const {
  return node->hn && !node->ownedHive && !node->handles && node->kids.empty() && !node->deleted &&
         !node->isLink && node->parent;
}

void Registry::Prune(RegNode* node) {
  while (node && Prunable(node)) {
    RegNode* parent = node->parent;
    auto it = parent->kids.begin();
    while (it != parent->kids.end() && it->second.get() != node) ++it;
    if (it == parent->kids.end()) return;
    std::unique_ptr<RegNode> gone = std::move(it->second);
    parent->kids.erase(it);
    Destroy(std::move(gone));
    node = parent;
  }
}

void Registry::Destroy(std::unique_ptr<RegNode> node) {
  // Forget every key of the subtree in the list of keys this call materialised.
  std::vector<RegNode*> stack{node.get()};
  while (!stack.empty()) {
    RegNode* n = stack.back();
    stack.pop_back();
    for (RegNode*& t : m_Touched)
      if (t == n) t = nullptr;
    for (auto& kid : n->kids) stack.push_back(kid.second.get());
  }
}

void Registry::EndCall() {
  // Children were materialised after their parents: prune from the end. Destroy clears the
  // entries of keys that go.
  for (size_t i = m_Touched.size(); i-- > 0;)
    if (m_Touched[i]) Prune(m_Touched[i]);
  m_Touched.clear();
}

uint32_t Registry::OpenHandlesIn(const RegNode* node) const {
  uint32_t n = node->handles;
  for (auto& kid : node->kids) n += OpenHandlesIn(kid.second.get());
  return n;
}

uint32_t Registry::Mount(RegNode* parent, const std::u16string& name, std::unique_ptr<RegHive> hive) {
  if (name.empty() || name.size() > kRegMaxKeyName) return ERROR_INVALID_PARAMETER;
  if (parent->kids.count(RegFold(name))) return ERROR_ALREADY_EXISTS;
  auto node = std::make_unique<RegNode>();
  node->name = name;
  node->parent = parent;
  node->hive = hive.get();
  node->hn = hive->Root();
  node->depth = parent->depth + 1;
  node->lastWrite = hive->Timestamp(node->hn);
  node->ownedHive = std::move(hive);
  parent->kids[RegFold(name)] = std::move(node);
  return ERROR_SUCCESS;
}

uint32_t Registry::Unmount(RegNode* mount) {
  uint32_t open = OpenHandlesIn(mount);
  for (auto& d : m_Deleted)
    if (d->hive == mount->hive) open += d->handles;
  if (open) {
    PlatformTrace(u"Registry: %u handles are open in the hive at %s; not unloaded\n", open, mount->name.c_str());
    return ERROR_ACCESS_DENIED;
  }
  uint32_t st = mount->ownedHive->Flush();
  if (st != ERROR_SUCCESS) return st;
  RegNode* parent = mount->parent;
  auto it = parent->kids.find(RegFold(mount->name));
  std::unique_ptr<RegNode> gone = std::move(it->second);
  parent->kids.erase(it);
  // Deleted keys of this hive hold no handles (checked above); none are left in m_Deleted.
  Destroy(std::move(gone));
  return ERROR_SUCCESS;
}

bool Registry::HiveLoadedFrom(const std::u16string& path) {
  std::u16string want = RegFold(path);
  for (RegNode* root : {m_Machine, m_Users})
    for (auto& kid : root->kids)
      if (kid.second->ownedHive && RegFold(kid.second->ownedHive->Path()) == want) return true;
  return false;
}

uint32_t Registry::StartRedirection(HKEY hklm, HKEY hku, HKEY hkcr, HKEY hkcu, const WCHAR* classesPath,
                                    const WCHAR* userPath, const WCHAR* privatePath) {
  HKEY keys[4] = {hklm, hku, hkcr, hkcu};
  for (HKEY k : keys)
    if (k && !HandleOf(k)) return ERROR_INVALID_HANDLE;
  Redirection r;
  r.active = true;
  for (int i = 0; i < 4; ++i) r.keys[i] = keys[i];
  auto folded = [](const WCHAR* p) {
    std::vector<std::u16string> c = RegSplitPath(p ? std::u16string(p) : std::u16string());
    for (auto& s : c) s = RegFold(s);
    return c;
  };
  r.classes = folded(classesPath);
  r.user = folded(userPath);
  r.priv = folded(privatePath);
  t_Redirect = std::move(r);
  return ERROR_SUCCESS;
}

void Registry::StopRedirection() { t_Redirect = Redirection(); }
