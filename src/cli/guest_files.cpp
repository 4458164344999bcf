#include "cli/guest_files.h"

#include <cerrno>
#include <ctime>
#include <memory>

#include "cli/fd_io.h"
#include "cli/progress.h"
#include "platform/loader.h"
#include "platform/wstr.h"

#ifndef ERROR_NO_MORE_FILES
#define ERROR_NO_MORE_FILES 18u
#endif
#ifndef ERROR_WRITE_FAULT
#define ERROR_WRITE_FAULT 29u
#endif
#ifndef ERROR_READ_FAULT
#define ERROR_READ_FAULT 30u
#endif

namespace {

// Large requests: one guest read per 4 MiB keeps per-call costs out of the copy.
constexpr uint32_t kChunk = 4u << 20;

uint64_t FileTimeValue(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

// Closes a Win32 handle; its status (a failed final flush) is the caller's to check.
struct HandleCloser {
  void operator()(void* h) const {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

}  // namespace

std::string FileTimeText(uint64_t filetime) {
  if (filetime == 0) return "";
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns units since 1601
  int64_t seconds = filetime >= kUnixEpoch ? static_cast<int64_t>((filetime - kUnixEpoch) / 10000000)
                                           : -static_cast<int64_t>((kUnixEpoch - filetime + 9999999) / 10000000);
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (!gmtime_r(&t, &tm)) return "";
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::vector<std::string> AttributeNames(uint32_t attributes) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {{0x1, "readonly"},   {0x2, "hidden"},         {0x4, "system"},     {0x10, "directory"},
                {0x20, "archive"},   {0x80, "normal"},        {0x100, "temporary"}, {0x200, "sparse"},
                {0x400, "reparse_point"}, {0x800, "compressed"}, {0x1000, "offline"}, {0x2000, "not_indexed"},
                {0x4000, "encrypted"}};
  std::vector<std::string> out;
  for (const auto& n : kNames)
    if (attributes & n.bit) out.push_back(n.name);
  return out;
}

nlohmann::ordered_json EntryJson(const GuestEntry& e) {
  nlohmann::ordered_json j;
  j["path"] = Utf16ToUtf8(e.path);
  j["name"] = Utf16ToUtf8(e.name);
  j["type"] = e.IsDirectory() ? "directory" : "file";
  j["size"] = e.size;
  j["attributes"] = AttributeNames(e.attributes);
  j["created"] = FileTimeText(e.created);
  j["modified"] = FileTimeText(e.modified);
  j["accessed"] = FileTimeText(e.accessed);
  return j;
}

uint32_t StatGuest(const std::u16string& fullPath, const std::u16string& guestPath, GuestEntry* entry) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(fullPath.c_str(), GetFileExInfoStandard, &data)) return GetLastError();
  entry->path = guestPath;
  size_t slash = guestPath.rfind(u'\\');
  entry->name = slash == std::u16string::npos ? guestPath : guestPath.substr(slash + 1);
  entry->attributes = data.dwFileAttributes;
  entry->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  entry->created = FileTimeValue(data.ftCreationTime);
  entry->modified = FileTimeValue(data.ftLastWriteTime);
  entry->accessed = FileTimeValue(data.ftLastAccessTime);
  return 0;
}

uint32_t ListGuestDirectory(const std::u16string& fullDir, const std::u16string& guestDir,
                            const std::function<void(const GuestEntry&)>& each) {
  std::u16string pattern = fullDir;
  if (pattern.empty() || pattern.back() != u'\\') pattern += u'\\';
  pattern += u'*';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    uint32_t status = GetLastError();
    return status == ERROR_FILE_NOT_FOUND ? 0 : status;  // an empty root has no entries at all
  }
  uint32_t status = 0;
  do {
    std::u16string name(data.cFileName);
    if (name == u"." || name == u"..") continue;
    GuestEntry e;
    e.name = name;
    e.path = (guestDir == u"\\" ? u"" : guestDir) + u"\\" + name;
    e.attributes = data.dwFileAttributes;
    e.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    e.created = FileTimeValue(data.ftCreationTime);
    e.modified = FileTimeValue(data.ftLastWriteTime);
    e.accessed = FileTimeValue(data.ftLastAccessTime);
    each(e);
  } while (FindNextFileW(find, &data));
  if (GetLastError() != ERROR_NO_MORE_FILES) status = GetLastError();
  FindClose(find);
  return status;
}

uint32_t CopyGuestToFd(const std::u16string& fullPath, int fd, uint64_t size, bool* failedOnHost) {
  *failedOnHost = false;
  Handle file(CreateFileW(fullPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return GetLastError();
  }
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kChunk]);
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  Progress progress(size, "copied");
  uint64_t done = 0;
  for (;;) {
    uint32_t n = 0;
    if (!ReadFile(file.get(), buffer.get(), kChunk, &n, nullptr)) return GetLastError();
    if (n == 0) break;
    if (!WriteFully(fd, buffer.get(), n)) {
      *failedOnHost = true;
      return ERROR_WRITE_FAULT;
    }
    done += n;
    progress.Update(done);
  }
  progress.Finish();
  return 0;
}

uint32_t CopyFdToGuest(int fd, uint64_t size, const std::u16string& fullPath, bool* failedOnHost) {
  *failedOnHost = false;
  HANDLE h = CreateFileW(fullPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kChunk]);
  uint32_t status = buffer ? 0 : ERROR_NOT_ENOUGH_MEMORY;
  Progress progress(size, "copied");
  uint64_t done = 0;
  while (status == 0) {
    long long n = ReadFully(fd, buffer.get(), kChunk);
    if (n < 0) {
      *failedOnHost = true;
      status = ERROR_READ_FAULT;
      break;
    }
    if (n == 0) break;
    uint32_t written = 0;
    if (!WriteFile(h, buffer.get(), static_cast<uint32_t>(n), &written, nullptr) || written != static_cast<uint32_t>(n))
      status = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
    done += static_cast<uint64_t>(n);
    progress.Update(done);
  }
  // Closing writes the file out; a failure there is the copy's failure.
  if (!CloseHandle(h) && status == 0) status = GetLastError();
  if (status == 0) progress.Finish();
  return status;
}

bool SafeHostName(const std::u16string& name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (char16_t c : name)
    if (c == u'/' || c == 0) return false;
  return true;
}
