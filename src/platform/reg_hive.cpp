// Loaded hives over hivex.
#include "platform/reg_hive.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/endian.h"
#include "platform/file_handle.h"
#include "platform/loader.h"
#include "platform/platform_trace.h"
#include "platform/status.h"
#include "platform/win_file.h"
#include "platform/win_registry.h"
#include "platform/wstr.h"

namespace {


struct Freer {
  void operator()(void* p) const { free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Freer>;

bool IsAscii(const std::u16string& s) {
  for (char16_t c : s)
    if (c >= 0x80 || c == 0) return false;
  return true;
}

}  // namespace

std::u16string RegFold(const std::u16string& name) {
  std::u16string up(name);
  for (char16_t& c : up) c = WCharUpper(c);
  return up;
}

// Win32 status for a failed hivex call on this hive, with its trace line.
uint32_t RegHive::Fail(const char* call) {
  int err = errno;
  PlatformTrace(u"Registry: %hs failed in %s (%hs)\n", call, m_Path.c_str(), strerror(err));
  if (err == ENOMEM) return ERROR_NOT_ENOUGH_MEMORY;
  if (err == ERANGE) return ERROR_INVALID_DATA;
  return ERROR_REGISTRY_CORRUPT;
}

RegHive::~RegHive() {
  if (m_Hive) hivex_close(m_Hive);
  if (m_File) CloseHandle(m_File);
}

// A clean hive in a host file is read by hivex straight from the handle the file layer opened
// (no copy; writers are kept out by the share mode until the hive turns writable). A dirty hive,
// or one inside a mounted volume, is copied into a memory file first.
uint32_t RegHive::Load(const WCHAR* path, std::unique_ptr<RegHive>* out) {
  std::unique_ptr<RegHive> hive(new RegHive());
  hive->m_Path = path;
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return GetLastError();
  uint8_t base[4096];
  uint32_t got = 0;
  if (!ReadFile(f, base, sizeof base, &got, nullptr)) {
    uint32_t st = GetLastError();
    CloseHandle(f);
    return st;
  }
  if (got < sizeof base || !RegfBaseBlockValid(base)) {
    CloseHandle(f);
    PlatformTrace(u"Registry: %s has no valid regf base block\n", path);
    return ERROR_BADDB;
  }
  bool dirty = LoadLE32(base + 4) != LoadLE32(base + 8);
  PlatformFile* pf = PlatformFileFromHandle(f);
  struct stat sb;
  if (!dirty && pf && pf->fd >= 0 && fstat(pf->fd, &sb) == 0 && S_ISREG(sb.st_mode)) {
    hive->m_File = f;
    hive->m_HivexPath = "/proc/self/fd/" + std::to_string(pf->fd);
  } else {
    CloseHandle(f);
    uint32_t st = ReadFileToImage(path, kRegMaxHiveSize, &hive->m_Image);
    if (st != ERROR_SUCCESS) return st;
    if (hive->m_Image.Size() < 8192 || !RegfBaseBlockValid(hive->m_Image.Data())) {
      PlatformTrace(u"Registry: %s has no valid regf base block\n", path);
      return ERROR_BADDB;
    }
    ReplayHiveLogs(path, &hive->m_Image);
    hive->m_Image.Unmap();
    hive->m_HivexPath = hive->m_Image.Path();
  }
  errno = 0;
  hive->m_Hive = hivex_open(hive->m_HivexPath.c_str(), 0);
  if (!hive->m_Hive) {
    int err = errno;
    PlatformTrace(u"Registry: hivex refuses %s (%hs)\n", path, strerror(err));
    return err == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADDB;
  }
  hive->m_Root = hivex_root(hive->m_Hive);
  if (!hive->m_Root) {
    PlatformTrace(u"Registry: %s has no root key\n", path);
    return ERROR_BADDB;
  }
  *out = std::move(hive);
  return ERROR_SUCCESS;
}

uint32_t RegHive::Children(hive_node_h node, std::vector<hive_node_h>* children) {
  children->clear();
  errno = 0;
  Owned<hive_node_h> list(hivex_node_children(m_Hive, node));
  if (!list) return Fail("hivex_node_children");
  for (hive_node_h* p = list.get(); *p; ++p) children->push_back(*p);
  return ERROR_SUCCESS;
}

uint32_t RegHive::Name(hive_node_h node, std::u16string* name) {
  errno = 0;
  Owned<char> n(hivex_node_name(m_Hive, node));
  if (!n) return Fail("hivex_node_name");
  *name = Utf8ToUtf16(n.get());
  return ERROR_SUCCESS;
}

uint32_t RegHive::FindChild(hive_node_h node, const std::u16string& name, hive_node_h* child) {
  *child = 0;
  if (IsAscii(name)) {
    errno = 0;
    *child = hivex_node_get_child(m_Hive, node, Utf16ToUtf8(name).c_str());
    return *child || errno == 0 ? ERROR_SUCCESS : Fail("hivex_node_get_child");
  }
  // hivex folds ASCII only: compare the names with Unicode folding here.
  std::vector<hive_node_h> kids;
  uint32_t st = Children(node, &kids);
  if (st != ERROR_SUCCESS) return st;
  std::u16string want = RegFold(name), have;
  for (hive_node_h k : kids) {
    if (Name(k, &have) != ERROR_SUCCESS) continue;
    if (RegFold(have) == want) { *child = k; break; }
  }
  return ERROR_SUCCESS;
}

uint64_t RegHive::Timestamp(hive_node_h node) {
  int64_t t = hivex_node_timestamp(m_Hive, node);
  return t < 0 ? 0 : static_cast<uint64_t>(t);
}

uint32_t RegHive::Values(hive_node_h node, std::vector<hive_value_h>* values) {
  values->clear();
  errno = 0;
  Owned<hive_value_h> list(hivex_node_values(m_Hive, node));
  if (!list) return Fail("hivex_node_values");
  for (hive_value_h* p = list.get(); *p; ++p) values->push_back(*p);
  return ERROR_SUCCESS;
}

uint32_t RegHive::ValueName(hive_value_h value, std::u16string* name) {
  errno = 0;
  Owned<char> n(hivex_value_key(m_Hive, value));
  if (!n) return Fail("hivex_value_key");
  *name = Utf8ToUtf16(n.get());
  return ERROR_SUCCESS;
}

// Hives hold any 32-bit type, which is no valid hive_type: hivex's type out-parameters are
// read as plain 32-bit numbers.
static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive_type is 32 bits");

uint32_t RegHive::ValueInfo(hive_value_h value, uint32_t* type, uint32_t* size) {
  uint32_t t = 0;
  size_t len = 0;
  errno = 0;
  if (hivex_value_type(m_Hive, value, reinterpret_cast<hive_type*>(&t), &len) != 0) return Fail("hivex_value_type");
  if (len > kRegMaxValueSize) {
    PlatformTrace(u"Registry: a value in %s claims %I64u bytes; refused\n", m_Path.c_str(),
                  static_cast<uint64_t>(len));
    return ERROR_INVALID_DATA;
  }
  *type = t;
  *size = static_cast<uint32_t>(len);
  return ERROR_SUCCESS;
}

uint32_t RegHive::ValueData(hive_value_h value, HiveValue* out) {
  uint32_t type = 0, size = 0;
  uint32_t st = ValueInfo(value, &type, &size);
  if (st != ERROR_SUCCESS) return st;
  uint32_t t = 0;
  size_t len = 0;
  errno = 0;
  Owned<char> data(hivex_value_value(m_Hive, value, reinterpret_cast<hive_type*>(&t), &len));
  if (!data) return Fail("hivex_value_value");
  if (len > kRegMaxValueSize) return ERROR_INVALID_DATA;
  out->type = t;
  out->data.assign(reinterpret_cast<uint8_t*>(data.get()), reinterpret_cast<uint8_t*>(data.get()) + len);
  return ERROR_SUCCESS;
}

uint32_t RegHive::FindValue(hive_node_h node, const std::u16string& name, hive_value_h* value) {
  *value = 0;
  if (IsAscii(name) || name.empty()) {
    errno = 0;
    *value = hivex_node_get_value(m_Hive, node, Utf16ToUtf8(name).c_str());
    return *value || errno == 0 ? ERROR_SUCCESS : Fail("hivex_node_get_value");
  }
  std::vector<hive_value_h> values;
  uint32_t st = Values(node, &values);
  if (st != ERROR_SUCCESS) return st;
  std::u16string want = RegFold(name), have;
  for (hive_value_h v : values) {
    if (ValueName(v, &have) != ERROR_SUCCESS) continue;
    if (RegFold(have) == want) { *value = v; break; }
  }
  return ERROR_SUCCESS;
}

uint32_t RegHive::MakeWritable() {
  if (m_Writable) return ERROR_SUCCESS;
  // Node and value handles are offsets in the file, so they stay valid across the reopen.
  errno = 0;
  hive_h* w = hivex_open(m_HivexPath.c_str(), HIVEX_OPEN_WRITE);
  if (!w) return Fail("hivex_open");
  if (m_File && m_Image.Create(0) != ERROR_SUCCESS) {
    hivex_close(w);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  hivex_close(m_Hive);
  m_Hive = w;
  m_Writable = true;
  m_Image.Resize(0);  // hivex keeps its own copy now; commits go to the memory file
  if (m_File) CloseHandle(m_File);  // lets the write-back open the file for writing
  m_File = nullptr;
  return ERROR_SUCCESS;
}

uint32_t RegHive::AddChild(hive_node_h node, const std::u16string& name, hive_node_h* child) {
  uint32_t st = MakeWritable();
  if (st != ERROR_SUCCESS) return st;
  errno = 0;
  *child = hivex_node_add_child(m_Hive, node, Utf16ToUtf8(name).c_str());
  if (!*child) return errno == EEXIST ? ERROR_ALREADY_EXISTS : Fail("hivex_node_add_child");
  m_Modified = true;
  return ERROR_SUCCESS;
}

uint32_t RegHive::DeleteNode(hive_node_h node) {
  uint32_t st = MakeWritable();
  if (st != ERROR_SUCCESS) return st;
  errno = 0;
  if (hivex_node_delete_child(m_Hive, node) != 0) return Fail("hivex_node_delete_child");
  m_Modified = true;
  return ERROR_SUCCESS;
}

uint32_t RegHive::SetValue(hive_node_h node, const HiveValue& value) {
  uint32_t st = MakeWritable();
  if (st != ERROR_SUCCESS) return st;
  std::string key = Utf16ToUtf8(value.name);
  hive_set_value v{key.data(), hive_t_REG_NONE, value.data.size(),
                   const_cast<char*>(reinterpret_cast<const char*>(value.data.data()))};
  memcpy(&v.t, &value.type, sizeof v.t);
  errno = 0;
  if (hivex_node_set_value(m_Hive, node, &v, 0) != 0) return Fail("hivex_node_set_value");
  m_Modified = true;
  return ERROR_SUCCESS;
}

uint32_t RegHive::DeleteValue(hive_node_h node, const std::u16string& name) {
  std::vector<hive_value_h> handles;
  uint32_t st = Values(node, &handles);
  if (st != ERROR_SUCCESS) return st;
  std::vector<HiveValue> keep;
  bool found = false;
  std::u16string want = RegFold(name);
  for (hive_value_h h : handles) {
    HiveValue v;
    if ((st = ValueName(h, &v.name)) != ERROR_SUCCESS || (st = ValueData(h, &v)) != ERROR_SUCCESS) return st;
    if (!found && RegFold(v.name) == want) found = true;
    else keep.push_back(std::move(v));
  }
  if (!found) return ERROR_FILE_NOT_FOUND;
  if ((st = MakeWritable()) != ERROR_SUCCESS) return st;
  std::vector<std::string> keys;
  keys.reserve(keep.size());
  std::vector<hive_set_value> set;
  for (HiveValue& v : keep) {
    keys.push_back(Utf16ToUtf8(v.name));
    set.push_back({keys.back().data(), hive_t_REG_NONE, v.data.size(), reinterpret_cast<char*>(v.data.data())});
    memcpy(&set.back().t, &v.type, sizeof v.type);
  }
  errno = 0;
  if (hivex_node_set_values(m_Hive, node, set.size(), set.data(), 0) != 0) return Fail("hivex_node_set_values");
  m_Modified = true;
  return ERROR_SUCCESS;
}

uint32_t RegHive::Flush() {
  if (!m_Modified) return ERROR_SUCCESS;
  errno = 0;
  if (hivex_commit(m_Hive, m_Image.Path().c_str(), 0) != 0) {
    uint32_t st = errno == ENOSPC ? ERROR_DISK_FULL : ERROR_NOT_ENOUGH_MEMORY;
    PlatformTrace(u"Registry: cannot commit the hive of %s (%hs)\n", m_Path.c_str(), strerror(errno));
    return st;
  }
  uint32_t st = m_Image.MapWhole();
  if (st == ERROR_SUCCESS) st = WriteImage(m_Image.Data(), m_Image.Size());
  m_Image.Resize(0);  // the committed bytes are in the file now, or the call fails
  if (st == ERROR_SUCCESS) m_Modified = false;
  return st;
}

// Writes the committed image over the hive file, 1 MiB at a time, keeping the old bytes of every
// chunk that changes; when a write fails the old bytes go back and the error is returned.
uint32_t RegHive::WriteImage(const uint8_t* data, uint64_t size) {
  const WCHAR* path = m_Path.c_str();
  const uint32_t share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE w = CreateFileW(path, GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (w == INVALID_HANDLE_VALUE) {
    uint32_t st = GetLastError();
    PlatformTrace(u"Registry: cannot open %s to write the hive back (%d)\n", path, st);
    return st;
  }
  HANDLE r = CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (r == INVALID_HANDLE_VALUE) {
    uint32_t st = GetLastError();
    CloseHandle(w);
    return st;
  }
  uint32_t high = 0;
  uint64_t oldSize = GetFileSize(r, &high);
  oldSize |= static_cast<uint64_t>(high) << 32;
  const uint64_t kChunk = 1u << 20;
  std::vector<uint8_t> old(kChunk);
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> saved;
  uint32_t st = ERROR_SUCCESS;
  uint64_t end = 0;
  for (uint64_t off = 0; off < size && st == ERROR_SUCCESS; off += kChunk) {
    uint32_t n = static_cast<uint32_t>(std::min(kChunk, size - off)), got = 0, put = 0;
    if (off < oldSize && !ReadFile(r, old.data(), static_cast<uint32_t>(std::min<uint64_t>(n, oldSize - off)), &got, nullptr)) {
      st = GetLastError();
      break;
    }
    if (got < n || memcmp(old.data(), data + off, n) != 0) saved.emplace_back(off, std::vector<uint8_t>(old.data(), old.data() + got));
    end = off + n;
    if (!WriteFile(w, data + off, n, &put, nullptr)) st = GetLastError();
  }
  CloseHandle(r);
  CloseHandle(w);
  if (st == ERROR_SUCCESS) return ERROR_SUCCESS;
  PlatformTrace(u"Registry: writing the hive back to %s failed (%d); restoring its old bytes\n", path, st);
  HANDLE u = CreateFileW(path, GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (u == INVALID_HANDLE_VALUE) return st;
  size_t next = 0;
  for (uint64_t off = 0; off < end; off += kChunk) {
    uint32_t put = 0;
    if (next < saved.size() && saved[next].first == off) {
      const std::vector<uint8_t>& b = saved[next++].second;
      if (!b.empty() && !WriteFile(u, b.data(), static_cast<uint32_t>(b.size()), &put, nullptr)) break;
      if (b.size() < kChunk) break;  // the old file ended here
    } else if (!WriteFile(u, data + off, static_cast<uint32_t>(std::min(kChunk, size - off)), &put, nullptr)) {
      break;
    }
  }
  if (end > oldSize) ZwSetEndOfFile(u, oldSize);
  CloseHandle(u);
  return st;
}
