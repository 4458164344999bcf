// The Win32 file calls on host drives and inside a volume: the same tables run in both places.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "folder_volume.h"
#include "platform/loader.h"
#include "platform/wstr.h"

namespace {

// One folder on a host drive and one inside a volume over another host folder.
class Places : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    mkdir(m_Host.file("sub").c_str(), 0755);
    mkdir(m_Vol.dir.file("sub").c_str(), 0755);
  }
  // "...\sub\" in the place under test.
  std::u16string Dir() const { return GetParam() ? m_Vol.root + u"\\sub\\" : vmtest::WinPath(m_Host.file("sub")) + u"\\"; }
  std::string HostOf(const std::string& name) const { return (GetParam() ? m_Vol.dir : m_Host).file("sub/" + name); }
  vmtest::TempDir m_Host;
  RegisteredVolume m_Vol{11};
};

HANDLE Open(const std::u16string& p, uint32_t access, uint32_t share, uint32_t disp, uint32_t flags = 0) {
  return CreateFileW(p.c_str(), access, share, nullptr, disp, flags, nullptr);
}

struct DispositionCase {
  uint32_t disposition;
  bool exists;
  bool opens;
  uint32_t lastError;
  uint64_t sizeAfter;  // of the five bytes there before; ~0 for no file
};

TEST_P(Places, DispositionByExistence) {
  const DispositionCase cases[] = {
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, 5},      {CREATE_NEW, false, true, 0, 0},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, 0}, {CREATE_ALWAYS, false, true, 0, 0},
      {OPEN_EXISTING, true, true, 0, 5},                    {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, ~0ull},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, 5},   {OPEN_ALWAYS, false, true, 0, 0},
      {TRUNCATE_EXISTING, true, true, 0, 0},                {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, ~0ull},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string name = "d" + std::to_string(n++);
    if (c.exists) vmtest::WriteText(HostOf(name), "12345");
    SetLastError(0xDEADBEEF);
    HANDLE h = Open(Dir() + Utf8ToUtf16(name), GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
    SCOPED_TRACE(name);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
    EXPECT_EQ(GetLastError(), c.lastError);
    EXPECT_EQ(ErrorOf(CloseHandle(h)), c.opens ? 0u : ERROR_INVALID_HANDLE);
    struct stat st;
    EXPECT_EQ(stat(HostOf(name).c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : ~0ull, c.sizeAfter);
  }
  EXPECT_EQ(ErrorOfOpen(Dir() + u"x", GENERIC_READ, 0, TRUNCATE_EXISTING), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ErrorOfOpen(Dir() + u"nodir\\x", GENERIC_READ, 0, OPEN_ALWAYS), ERROR_PATH_NOT_FOUND);
}

TEST_P(Places, ShareModesAcrossHandles) {
  const uint32_t R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE,
                 SD = FILE_SHARE_DELETE;
  const struct {
    uint32_t access1, share1, access2, share2;
    bool secondOpens;
  } cases[] = {
      {R, SR, R, SR, true},          {R, SR, W, SR | SW, false},     {W, SR | SW, R, SR, false},
      {W, SR | SW, R, SR | SW, true}, {0, 0, R | W, 0, true},         {R, SR, DELETE, SR, false},
      {R, SR | SD, DELETE, SR, true}, {R | W, SR | SW, R, SR | SW, true},
  };
  vmtest::WriteText(HostOf("s.bin"), "x");
  std::u16string path = Dir() + u"S.BIN";  // same file under another case
  for (const auto& c : cases) {
    HANDLE a = Open(path, c.access1, c.share1, OPEN_EXISTING);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ErrorOfOpen(Dir() + u"s.bin", c.access2, c.share2, OPEN_EXISTING),
              c.secondOpens ? 0u : ERROR_SHARING_VIOLATION)
        << c.access1 << "/" << c.share1 << " then " << c.access2;
    CloseHandle(a);
  }
  // Deleting needs every opener to share delete.
  HANDLE a = Open(path, R, SR, OPEN_EXISTING);
  EXPECT_EQ(ErrorOf(DeleteFileW(path.c_str())), ERROR_SHARING_VIOLATION);
  CloseHandle(a);
  a = Open(path, R, SR | SD, OPEN_EXISTING);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  CloseHandle(a);
}

TEST_P(Places, WildcardsFollowWindowsRules) {
  for (const char* n : {"a.txt", "b.TXT", "abc", "abcd.txt.bak", "x.y.txt", "noext", ".hidden"})
    vmtest::WriteText(HostOf(n), "x");
  const std::set<std::u16string> all = {u".", u"..", u"a.txt", u"b.TXT", u"abc", u"abcd.txt.bak",
                                        u"x.y.txt", u"noext", u".hidden"};
  const struct {
    std::u16string pattern;
    std::set<std::u16string> names;
    uint32_t error = 0;
  } cases[] = {
      {u"*", all},
      {u"*.*", all},
      {u"*.txt", {u"a.txt", u"b.TXT", u"x.y.txt"}},
      {u"*.", {u".", u"..", u"abc", u"noext"}},
      {u"a?c", {u"abc"}},
      {u"abc?", {u"abc"}},  // a trailing ? may match nothing
      {u"???", {u"abc"}},
      {u"?.txt", {u"a.txt", u"b.TXT"}},
      {u"A.TXT", {u"a.txt"}},
      {u"*.bak", {u"abcd.txt.bak"}},
      {u".*", {u".", u"..", u".hidden"}},
      {u"*c*", {u"abc", u"abcd.txt.bak"}},
      {u"zz*", {}, ERROR_FILE_NOT_FOUND},
      {u"none\\*", {}, ERROR_PATH_NOT_FOUND},
      {u"", {}, ERROR_FILE_NOT_FOUND},  // the folder written with its separator: no search
  };
  uint32_t err;
  for (const auto& c : cases) {
    EXPECT_EQ(Find(Dir() + c.pattern, &err), c.names) << Utf16ToUtf8(c.pattern);
    EXPECT_EQ(err, c.error);
  }
  // The folder itself, without a wildcard: one entry, no dots.
  std::u16string dir = Dir();
  EXPECT_EQ(Find(dir.substr(0, dir.size() - 1), &err), std::set<std::u16string>{u"sub"});
}

TEST_P(Places, FoldersHandlesAndErrors) {
  std::u16string d = Dir() + u"dir";
  EXPECT_TRUE(CreateDirectoryW(d.c_str(), nullptr));
  EXPECT_EQ(ErrorOf(CreateDirectoryW(d.c_str(), nullptr)), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileAttributesW((d + u"\\").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(ErrorOfOpen(d, GENERIC_READ, 7, OPEN_EXISTING), ERROR_ACCESS_DENIED);
  HANDLE h = Open(d, GENERIC_READ, 7, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  BY_HANDLE_FILE_INFORMATION bi;
  EXPECT_TRUE(GetFileInformationByHandle(h, &bi));
  EXPECT_EQ(bi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  char c;
  uint32_t got = 99;
  EXPECT_EQ(ErrorOf(ReadFile(h, &c, 1, &got, nullptr)), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ErrorOf(DeleteFileW(d.c_str())), ERROR_ACCESS_DENIED);
  std::u16string f = d + u"\\f.bin";
  h = Open(f, GENERIC_WRITE, 0, CREATE_NEW);
  int64_t pos = -1;
  EXPECT_TRUE(SetFilePointerEx(h, 5000, &pos, FILE_BEGIN));
  EXPECT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(ErrorOf(SetFilePointerEx(h, -5001, &pos, FILE_CURRENT)), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(pos, 5000);
  EXPECT_TRUE(SetFilePointerEx(h, -4, &pos, FILE_END));
  EXPECT_TRUE(WriteFile(h, "tail", 4, &got, nullptr));
  EXPECT_EQ(ErrorOf(ReadFile(h, &c, 1, &got, nullptr)), ERROR_ACCESS_DENIED);  // opened for writing only
  int64_t size = 0;
  EXPECT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size, 5000);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ErrorOf(RemoveDirectoryW(d.c_str())), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(ErrorOf(RemoveDirectoryW(f.c_str())), ERROR_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW((d + u"\\F.BIN\\").c_str()), INVALID_FILE_ATTRIBUTES);  // a file is no folder
  EXPECT_EQ(GetFileAttributesW((d + u"\\f*").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(GetFileAttributesW((d + u"\\no\\f").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // Delete on close: no new opens once that handle closes, gone when the last one does.
  HANDLE other = Open(f, GENERIC_READ, 7, OPEN_EXISTING);
  EXPECT_EQ(ErrorOfOpen(f, GENERIC_READ, 7, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE), 0u);
  EXPECT_EQ(ErrorOfOpen(f, GENERIC_READ, 7, OPEN_EXISTING), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(other));
  EXPECT_EQ(GetFileAttributesW(f.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(RemoveDirectoryW(d.c_str()));
}

INSTANTIATE_TEST_SUITE_P(HostAndVolume, Places, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Volume" : "Host"; });

}  // namespace
