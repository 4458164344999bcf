#include "ntfs_tree.h"

#include <cerrno>
#include <cstdio>

#include "quilldrv/ntfs_includes.h"

namespace {

bool Add(ntfs_volume* vol, const NtfsTreeItem& item) {
  size_t slash = item.path.rfind('/');
  std::string parent = item.path.substr(0, slash);
  ntfs_inode* dir = ntfs_pathname_to_inode(vol, nullptr, parent.empty() ? "/" : parent.c_str());
  if (!dir) {
    fprintf(stderr, "MakeNtfsTree: no parent %s\n", parent.c_str());
    return false;
  }
  ntfschar* name = nullptr;
  int len = ntfs_mbstoucs(item.path.c_str() + slash + 1, &name);
  ntfs_inode* ni = len > 0 ? ntfs_create(dir, const_cpu_to_le32(0), name, static_cast<u8>(len),
                                         item.directory ? S_IFDIR : S_IFREG)
                           : nullptr;
  free(name);
  bool ok = ni != nullptr;
  if (!ok) fprintf(stderr, "MakeNtfsTree: create failed\n");
  if (ok && !item.data.empty()) {
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    ok = na != nullptr;
    for (size_t at = 0; ok && at < item.data.size(); at += 65536) {
      s64 n = static_cast<s64>(std::min<size_t>(65536, item.data.size() - at));
      s64 put = ntfs_attr_pwrite(na, static_cast<s64>(at), n, item.data.data() + at);
      if (put != n) fprintf(stderr, "MakeNtfsTree: write at %zu gave %lld\n", at, static_cast<long long>(put));
      ok = put == n;
    }
    if (na) ntfs_attr_close(na);
  }
  if (ok && !item.stream.empty()) {
    ntfschar* sname = nullptr;
    int slen = ntfs_mbstoucs(item.stream.c_str(), &sname);
    ok = slen > 0 && ntfs_attr_add(ni, AT_DATA, sname, static_cast<u8>(slen),
                                   reinterpret_cast<const u8*>(item.streamData.data()),
                                   static_cast<s64>(item.streamData.size())) == 0;
    free(sname);
  }
  if (ok && item.attributes) {
    le32 v = cpu_to_le32(le32_to_cpu(ni->flags) | item.attributes);
    ok = ntfs_set_ntfs_attrib(ni, reinterpret_cast<const char*>(&v), sizeof v, 0) == 0;
  }
  if (ni && ntfs_inode_close_in_dir(ni, dir) != 0) ok = false;
  if (ntfs_inode_close(dir) != 0) ok = false;
  return ok;
}

}  // namespace

bool MakeNtfsTree(const std::string& partitionImage, const std::vector<NtfsTreeItem>& items) {
  ntfs_volume* vol = ntfs_mount(partitionImage.c_str(), NTFS_MNT_NONE);
  if (!vol) return false;
  bool ok = true;
  for (const NtfsTreeItem& item : items) {
    ok = ok && Add(vol, item);
    if (!ok) fprintf(stderr, "MakeNtfsTree: %s failed (errno %d)\n", item.path.c_str(), errno);
  }
  return ntfs_umount(vol, FALSE) == 0 && ok;
}
