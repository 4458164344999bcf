// The loader over dlopen: "name.dll" becomes "libname.so", looked for beside the calling module
// first and then by the normal search; paths are mapped like every Windows path.
#include "platform/loader.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <string>
#include <unistd.h>

#include "platform/path.h"
#include "platform/status.h"
#include "platform/wstr.h"

namespace {

thread_local uint32_t t_LastError = 0;

std::string DirOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

HMODULE LoadFrom(const WCHAR* name, const void* caller) {
  if (!name || !name[0]) {
    t_LastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  std::u16string n(name);
  bool hasPath = n.find(u'\\') != std::u16string::npos || n.find(u'/') != std::u16string::npos ||
                 (n.size() >= 2 && n[1] == u':');
  void* h = nullptr;
  if (hasPath) {
    std::string posix;
    if (PlatformMapPath(name, true, &posix) == STATUS_SUCCESS) h = dlopen(posix.c_str(), RTLD_NOW | RTLD_LOCAL);
  } else {
    std::string base = Utf16ToUtf8(n);
    if (base.size() > 4 && strcasecmp(base.c_str() + base.size() - 4, ".dll") == 0) base.resize(base.size() - 4);
    if (base.size() < 3 || base.compare(base.size() - 3, 3, ".so") != 0) base = "lib" + base + ".so";
    // Beside the calling module, then beside this platform library (the folder every module of
    // the process shares), then the normal search.
    const void* places[2] = {caller, reinterpret_cast<const void*>(&LoadFrom)};
    for (const void* place : places) {
      Dl_info info;
      if (h || !place || !dladdr(place, &info) || !info.dli_fname || !strchr(info.dli_fname, '/')) continue;
      std::string beside = DirOf(info.dli_fname) + "/" + base;
      if (access(beside.c_str(), F_OK) == 0) h = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!h) h = dlopen(base.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {  // Windows names ignore case; shared objects are conventionally lower case
      std::string lower = base;
      for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
      if (lower != base) return LoadFrom(Utf8ToUtf16(lower).c_str(), caller);
    }
  }
  t_LastError = h ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND;
  return h;
}

}  // namespace

extern "C" {

HMODULE LoadLibraryW(const WCHAR* name) { return LoadFrom(name, __builtin_return_address(0)); }

HMODULE LoadLibraryExW(const WCHAR* name, void*, uint32_t) { return LoadFrom(name, __builtin_return_address(0)); }

void* GetProcAddress(HMODULE module, const char* name) {
  if (!module || !name) {
    t_LastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  void* p = dlsym(module, name);
  t_LastError = p ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND;
  return p;
}

int FreeLibrary(HMODULE module) {
  if (!module) {
    t_LastError = ERROR_INVALID_HANDLE;
    return 0;
  }
  return dlclose(module) == 0 ? 1 : 0;
}

HMODULE PlatformModuleFromAddress(const void* address) {
  Dl_info info;
  if (!address || !dladdr(address, &info) || !info.dli_fname) return nullptr;
  // A handle to an already loaded module, without keeping an extra reference on it.
  void* h = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (!h) h = dlopen(nullptr, RTLD_NOW);  // the main program
  if (h) dlclose(h);
  return h;
}

uint32_t GetModuleFileNameW(HMODULE module, WCHAR* buffer, uint32_t size) {
  std::string path;
  struct link_map* lm = nullptr;
  if (module && dlinfo(module, RTLD_DI_LINKMAP, &lm) == 0 && lm && lm->l_name && lm->l_name[0]) {
    path = lm->l_name;
  } else {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
      t_LastError = ERROR_INVALID_HANDLE;
      return 0;
    }
    exe[n] = 0;
    path = exe;
  }
  char real[PATH_MAX];
  if (realpath(path.c_str(), real)) path = real;
  std::u16string w = PlatformPosixToWindows(path);
  if (!buffer || size == 0) {
    t_LastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  WStrCopy(buffer, size, w.c_str());
  if (w.size() >= size) {
    t_LastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  t_LastError = ERROR_SUCCESS;
  return static_cast<uint32_t>(w.size());
}

uint32_t GetLastError(void) { return t_LastError; }
void SetLastError(uint32_t code) { t_LastError = code; }

}  // extern "C"
