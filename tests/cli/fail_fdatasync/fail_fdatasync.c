/* Preloaded into vmpeek by the CLI tests: every fdatasync fails with EIO, as on a disk whose
   write-back failed. Nothing else changes. */
#include <errno.h>

__attribute__((visibility("default"))) int fdatasync(int fd) {
  (void)fd;
  errno = EIO;
  return -1;
}
