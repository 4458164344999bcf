// Drive devices, volume information, the temporary folder and full path names.
#include <cstdlib>
#include <string>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/stat.h>

#include "platform/file_objects.h"
#include "platform/loader.h"
#include "platform/path.h"
#include "platform/win_file.h"
#include "platform/win_path.h"

namespace {

// Copies text that holds its own terminators; the size needed when it does not fit.
uint32_t PutMulti(const std::u16string& text, WCHAR* buffer, uint32_t size) {
  if (!buffer || text.size() > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(text.begin(), text.end(), buffer);
  return static_cast<uint32_t>(text.size());
}

// Copies a string with its terminator: its length, or the size needed (terminator included).
uint32_t PutString(const std::u16string& text, WCHAR* buffer, uint32_t size) {
  if (!buffer || text.size() >= size) return static_cast<uint32_t>(text.size() + 1);
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return static_cast<uint32_t>(text.size());
}

// Optional text output of GetVolumeInformationW: false when it does not fit.
bool PutOptional(const std::u16string& text, WCHAR* buffer, uint32_t size) {
  if (!buffer) return true;
  if (text.size() >= size) return false;
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return true;
}

// Filesystem name of a host folder as Windows programs expect one: FAT and CD names where the
// host has them, NTFS for every other (case-preserving, Unicode) filesystem.
std::u16string HostFileSystem(long type) {
  switch (type) {
    case 0x4d44: return u"FAT32";    // vfat, msdos
    case 0x9660: return u"CDFS";     // iso9660
    case 0x15013346: return u"UDF";
    default: return u"NTFS";
  }
}

constexpr uint32_t kCasePreservedUnicode = 0x2u | 0x4u;  // FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK
constexpr uint32_t kReadOnlyVolume = 0x80000u;             // FILE_READ_ONLY_VOLUME

}  // namespace

extern "C" {

BOOL GetVolumeInformationW(const WCHAR* rootPath, WCHAR* label, uint32_t labelSize, uint32_t* serial,
                           uint32_t* maxComponentLength, uint32_t* fileSystemFlags, WCHAR* fileSystemName,
                           uint32_t fileSystemNameSize) {
  std::u16string root = rootPath ? rootPath : u"\\";
  if (root.empty() || (root.back() != u'\\' && root.back() != u'/')) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  PlatformTarget t;
  uint32_t err = PlatformResolvePath(root.c_str(), 0, &t);
  if (!err && !t.isRoot) err = ERROR_DIR_NOT_ROOT;
  std::u16string name, fs;
  uint32_t number = 0, maxName = 255, flags = kCasePreservedUnicode;
  if (!err && t.onVolume) {
    err = t.volume.provider->GetVolumeInformation(&name, &fs, &number);
    if (err == ERROR_NOT_SUPPORTED) {
      name.clear();
      fs = u"UNKNOWN";
      number = PlatformVolumeSerial(t.volume.key);
      err = ERROR_SUCCESS;
    }
    if (t.volume.provider->IsReadOnly()) flags |= kReadOnlyVolume;
  } else if (!err) {
    struct statfs sf;
    struct stat st;
    if (statfs(t.posix.c_str(), &sf) != 0 || stat(t.posix.c_str(), &st) != 0) {
      err = ERROR_PATH_NOT_FOUND;
    } else {
      fs = HostFileSystem(static_cast<long>(sf.f_type));
      number = static_cast<uint32_t>(st.st_dev);  // as GetFileInformationByHandle reports it
      maxName = static_cast<uint32_t>(sf.f_namelen);
      if (sf.f_flags & ST_RDONLY) flags |= kReadOnlyVolume;
    }
  }
  if (!err && (!PutOptional(name, label, labelSize) || !PutOptional(fs, fileSystemName, fileSystemNameSize)))
    err = ERROR_BAD_LENGTH;
  if (err) {
    SetLastError(err);
    return 0;
  }
  if (serial) *serial = number;
  if (maxComponentLength) *maxComponentLength = maxName;
  if (fileSystemFlags) *fileSystemFlags = flags;
  return 1;
}

uint32_t QueryDosDeviceW(const WCHAR* deviceName, WCHAR* targetPath, uint32_t size) {
  std::u16string out;
  if (!deviceName) {
    for (char16_t l = u'A'; l <= u'Z'; ++l) {
      std::string root;
      if (!PlatformDriveRoot(l, &root, false)) continue;
      out.push_back(l);
      out += u":";
      out.push_back(0);
    }
  } else {
    std::u16string name(deviceName);
    char16_t l = name.size() == 2 && name[1] == u':' ? name[0] : 0;
    if (l >= u'a' && l <= u'z') l = static_cast<char16_t>(l - 32);
    std::string root;
    if (!l || !PlatformDriveRoot(l, &root, false)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    out = PlatformDriveDevice(l);
    out.push_back(0);
  }
  out.push_back(0);
  return PutMulti(out, targetPath, size);
}

uint32_t GetTempPathW(uint32_t size, WCHAR* buffer) {
  const char* tmp = getenv("TMPDIR");
  std::u16string path = PlatformPosixToWindows(tmp && *tmp == '/' ? tmp : "/tmp");
  if (path.back() != u'\\') path += u"\\";
  return PutString(path, buffer, size);
}

uint32_t GetFullPathNameW(const WCHAR* path, uint32_t size, WCHAR* buffer, WCHAR** filePart) {
  if (filePart) *filePart = nullptr;
  if (!path || !path[0]) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  std::u16string full;
  size_t part = std::u16string::npos;
  uint32_t err = PlatformFullPath(path, &full, &part);
  if (err) {
    SetLastError(err);
    return 0;
  }
  uint32_t n = PutString(full, buffer, size);
  if (n == full.size() && filePart && part != std::u16string::npos) *filePart = buffer + part;
  return n;
}

}  // extern "C"
