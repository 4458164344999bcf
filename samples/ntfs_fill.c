/* ntfs_fill IMAGE SOURCE_DIR: copies a host folder tree into the root of the NTFS filesystem in
 * IMAGE (a partition image made by mkntfs) through libntfs-3g, with no mount and no root rights.
 * Builds the sample guest's volumes and test volumes; files that exist are rewritten. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>

static int fail(const char* what, const char* path) {
  fprintf(stderr, "ntfs_fill: %s %s: %s\n", what, path, strerror(errno));
  return 0;
}

/* The child `name` of the open directory `dir`, created with `type` (S_IFREG or S_IFDIR) when
 * missing. Looked up through `dir` itself: a second open copy of an inode corrupts libntfs-3g's
 * view of it. */
static ntfs_inode* open_or_create(ntfs_volume* vol, ntfs_inode* dir, const char* name, mode_t type) {
  ntfschar* uname = NULL;
  int len = ntfs_mbstoucs(name, &uname);
  if (len <= 0 || len > 255) { free(uname); errno = EINVAL; return NULL; }
  u64 mref = ntfs_inode_lookup_by_name(dir, uname, len);
  ntfs_inode* ni = mref != (u64)-1 ? ntfs_inode_open(vol, MREF(mref))
                                    : ntfs_create(dir, const_cpu_to_le32(0), uname, (u8)len, type);
  free(uname);
  return ni;
}

static int write_data(ntfs_inode* ni, const char* host) {
  int ok = 1;
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  int fd = open(host, O_RDONLY);
  if (!na || fd < 0) {
    ok = fail("open", host);
  } else if (ntfs_attr_truncate(na, 0) != 0) {
    ok = fail("truncate for", host);
  } else {
    static char buffer[1 << 20];
    s64 offset = 0;
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0) { ok = fail("read", host); break; }
      if (n == 0) break;
      if (ntfs_attr_pwrite(na, offset, n, buffer) != n) { ok = fail("write for", host); break; }
      offset += n;
    }
  }
  if (fd >= 0) close(fd);
  if (na) ntfs_attr_close(na);
  return ok;
}

static int copy_tree(ntfs_volume* vol, ntfs_inode* dir, const char* host_dir) {
  DIR* d = opendir(host_dir);
  if (!d) return fail("opendir", host_dir);
  int ok = 1;
  struct dirent* e;
  while ((e = readdir(d)) != NULL) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    char host[4096];
    if (snprintf(host, sizeof host, "%s/%s", host_dir, e->d_name) >= (int)sizeof host) {
      errno = ENAMETOOLONG;
      ok = fail("name", e->d_name);
      continue;
    }
    struct stat st;
    if (lstat(host, &st) != 0) { ok = fail("stat", host); continue; }
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
    ntfs_inode* ni = open_or_create(vol, dir, e->d_name, S_ISDIR(st.st_mode) ? S_IFDIR : S_IFREG);
    if (!ni) { ok = fail("create", host); continue; }
    if (!(S_ISDIR(st.st_mode) ? copy_tree(vol, ni, host) : write_data(ni, host))) ok = 0;
    if (ntfs_inode_close_in_dir(ni, dir) != 0) ok = fail("close", host);
  }
  closedir(d);
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: ntfs_fill IMAGE SOURCE_DIR\n");
    return 2;
  }
  ntfs_volume* vol = ntfs_mount(argv[1], 0);
  if (!vol) return !fail("mount", argv[1]);
  ntfs_inode* root = ntfs_inode_open(vol, FILE_root);
  int ok = root ? copy_tree(vol, root, argv[2]) : fail("open root of", argv[1]);
  if (root && ntfs_inode_close(root) != 0) ok = fail("close root of", argv[1]);
  if (ntfs_umount(vol, FALSE) != 0) ok = fail("unmount", argv[1]);
  return ok ? 0 : 1;
}
