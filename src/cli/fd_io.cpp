#include "cli/fd_io.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

bool WriteFully(int fd, const void* buffer, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long long ReadFully(int fd, void* buffer, size_t size) {
  uint8_t* p = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long long>(done);
}

int OpenOutput(const std::string& path) {
  if (path.empty() || path == "-") return STDOUT_FILENO;
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

int OpenInput(const std::string& path) {
  if (path.empty() || path == "-") return STDIN_FILENO;
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}
