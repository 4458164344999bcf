#include "driver_helpers.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/endian.h"
#include "platform/status.h"
#include "platform/wstr.h"
#include "quilldrv/driver_link.h"
#include "quilldrv/request_records.h"
#include "quilldrv/volume_driver.h"
#include "support/test_support.h"

namespace quilltest {

using vmtest::Quote;
using vmtest::Sh;

ContentDriver* Connect() {
  void* object = nullptr;
  EXPECT_EQ(QuillGetInterface("QuillLoad2", &object), 0u);
  auto* loader = static_cast<QuillLoader*>(object);
  ContentDriver* driver = reinterpret_cast<ContentDriver*>(0x1);
  EXPECT_EQ(loader->LoadContentDriver(u"other", &driver), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(loader->LoadContentDriver(u"zeldrive", &driver), 0u);
  loader->Release();
  return driver;
}

std::vector<uint8_t> MountRecordFor(const std::string& posix, uint8_t partition, bool writable) {
  std::u16string path = vmtest::NtPath(posix);
  std::vector<uint8_t> r(2 * (path.size() + 1) + 4, 0);
  r[0] = partition;
  r[1] = writable ? 0 : 1;
  for (size_t i = 0; i < path.size(); ++i) StoreLE16(&r[2 + 2 * i], path[i]);
  return r;
}

Mounted MountImage(ContentDriver* driver, const std::string& posix, uint8_t partition, bool writable) {
  std::vector<uint8_t> record = MountRecordFor(posix, partition, writable);
  std::vector<uint8_t> reply(MOUNT_REPLY_BYTES, 0xCC);
  uint64_t returned = 0;
  Mounted m;
  m.status = driver->IoCtl(VMMount_IoCtl_Mount, record.data(), record.size(), reply.data(), reply.size(), &returned);
  if (m.status) return m;
  m.id = LoadLE64(reply.data());
  for (size_t i = 8; i + 1 < reply.size() && LoadLE16(&reply[i]); i += 2) m.root.push_back(LoadLE16(&reply[i]));
  EXPECT_EQ(returned, 8 + 2 * (m.root.size() + 1));
  EXPECT_LE(m.root.size(), 99u);
  m.volume = VolumeDriver::Instance().ProviderFor(m.id);
  return m;
}

uint32_t Unmount(ContentDriver* driver, uint64_t id) {
  uint8_t rec[8];
  StoreLE64(rec, id);
  return driver->IoCtl(VMMount_IoCtl_UnMount, rec, 8, nullptr, 0, nullptr);
}

void Walk(VolumeProvider& v, const std::u16string& dir, const std::string& prefix, Listing* out) {
  std::vector<VolumeDirEntry> entries;
  ASSERT_EQ(v.ListDirectory(dir, [&](const VolumeDirEntry& e) { entries.push_back(e); return true; }), 0u)
      << Utf16ToUtf8(dir);
  for (const VolumeDirEntry& e : entries) {
    std::string name = prefix + Utf16ToUtf8(e.name);
    (*out)[name] = {e.info.size, (e.info.attributes & 0x10) != 0, e.info.attributes};
    if (e.info.attributes & 0x10) Walk(v, (dir == u"\\" ? dir : dir + u"\\") + e.name, name + "/", out);
  }
}

std::string ReadWhole(VolumeProvider& v, const std::string& path) {
  std::unique_ptr<VolumeFile> f;
  bool created = true;
  std::u16string p = u"\\" + Utf8ToUtf16(path);
  for (char16_t& c : p) c = c == u'/' ? u'\\' : c;
  EXPECT_EQ(v.Open(p, VOLUME_OPEN_READ, 3, 0, &f, &created), 0u) << path;
  EXPECT_FALSE(created);
  std::string data;
  if (!f) return data;
  char buf[70000];
  uint32_t done = 0;
  for (uint64_t off = 0; f->Read(off, buf, sizeof buf, &done) == 0 && done; off += done) data.append(buf, done);
  EXPECT_EQ(f->Close(), 0u);
  return data;
}

std::map<std::string, std::string> Fls(const std::string& raw, uint64_t sectorOffset, bool ntfs) {
  std::string out = Sh("fls -r -p -o " + std::to_string(sectorOffset) + " " + Quote(raw));
  std::map<std::string, std::string> files;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos || line.find(" * ") != std::string::npos || line[0] == 'v' || line[0] == 'V') continue;
    std::string name = line.substr(tab + 1);
    std::string inode = line.substr(line.find(' ') + 1);
    inode = inode.substr(0, inode.find_first_of(":-("));
    if (name.find(':') != std::string::npos) continue;  // named streams
    if (ntfs && (std::stoull(inode) < 16 || name.rfind("$Extend", 0) == 0)) continue;
    files[name] = inode;
  }
  return files;
}

void CheckAgainstTsk(VolumeProvider& v, const std::string& raw, uint64_t sectorOffset, bool ntfs) {
  Listing listing;
  Walk(v, u"\\", "", &listing);
  std::map<std::string, std::string> tsk = Fls(raw, sectorOffset, ntfs);
  ASSERT_FALSE(tsk.empty());
  for (const auto& [name, inode] : tsk) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(listing.count(name));
    if (listing[name].directory) continue;
    std::string expected = Sh("icat -o " + std::to_string(sectorOffset) + " " + Quote(raw) + " " + inode);
    EXPECT_EQ(listing[name].size, expected.size());
    EXPECT_TRUE(ReadWhole(v, name) == expected);
  }
  for (const auto& [name, e] : listing) EXPECT_TRUE(tsk.count(name)) << name;
}

}  // namespace quilltest
