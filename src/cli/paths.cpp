#include "cli/paths.h"

#include <algorithm>
#include <cctype>

#include "platform/path.h"
#include "platform/wstr.h"

namespace {

std::string UpperExtension(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::toupper(c); });
  return ext;
}

}  // namespace

std::u16string ToLibraryPath(const std::string& posix) { return PlatformPosixToWindows(posix); }

std::string ToPosixPath(const std::u16string& path) {
  std::string posix;
  if (PlatformMapPath(path.c_str(), true, &posix) >= 0) return posix;
  return Utf16ToUtf8(path);
}

std::string ImageFormatOf(const std::string& path) {
  std::string ext = UpperExtension(path);
  if (ext == ".VHD" || ext == ".VUD") return "vhd";
  if (ext == ".VMDK") return "vmdk";
  if (ext == ".ISO" || ext == ".IMG") return "raw";
  return "";
}

bool IsMachinePath(const std::string& path) {
  std::string ext = UpperExtension(path);
  return ext == ".VMX" || ext == ".VMC";
}

std::u16string ResolveDiskName(const std::u16string& configPath, const std::u16string& name) {
  bool drive = name.size() >= 2 && name[1] == u':' &&
               ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z'));
  if (drive || (!name.empty() && name[0] == u'\\')) return name;
  if (!name.empty() && name[0] == u'/') return PlatformPosixToWindows(Utf16ToUtf8(name));
  std::u16string folder = configPath.substr(0, configPath.rfind(u'\\') + 1);
  std::u16string relative = name;
  std::replace(relative.begin(), relative.end(), u'/', u'\\');
  return folder + relative;
}
