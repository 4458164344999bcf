// Hive images in memory files, filled through the Win32 file layer.
#include "platform/reg_image.h"

#include <cerrno>
#include <sys/mman.h>
#include <sys/stat.h>
#include <algorithm>
#include <unistd.h>

#include "platform/endian.h"
#include "platform/platform_trace.h"
#include "platform/status.h"
#include "platform/win_file.h"
#include "platform/win_registry.h"
#include "platform/loader.h"

HiveImage::~HiveImage() {
  Unmap();
  if (m_Fd >= 0) close(m_Fd);
}

uint32_t HiveImage::Create(uint64_t size) {
  m_Fd = memfd_create("vmpeek-hive", MFD_CLOEXEC);
  if (m_Fd < 0) return RtlNtStatusToDosError(PlatformErrnoToNtStatus(errno));
  return Resize(size);
}

uint32_t HiveImage::Resize(uint64_t size) {
  Unmap();
  if (ftruncate(m_Fd, static_cast<off_t>(size)) != 0) return ERROR_NOT_ENOUGH_MEMORY;
  m_Size = size;
  return Map();
}

uint32_t HiveImage::Map() {
  Unmap();
  if (m_Size == 0) return ERROR_SUCCESS;
  void* p = mmap(nullptr, m_Size, PROT_READ | PROT_WRITE, MAP_SHARED, m_Fd, 0);
  if (p == MAP_FAILED) return ERROR_NOT_ENOUGH_MEMORY;
  m_Data = static_cast<uint8_t*>(p);
  return ERROR_SUCCESS;
}

uint32_t HiveImage::MapWhole() {
  Unmap();
  struct stat sb;
  if (fstat(m_Fd, &sb) != 0) return ERROR_NOT_ENOUGH_MEMORY;
  m_Size = static_cast<uint64_t>(sb.st_size);
  return Map();
}

void HiveImage::Unmap() {
  if (m_Data) munmap(m_Data, m_Size);
  m_Data = nullptr;
}

std::string HiveImage::Path() const { return "/proc/self/fd/" + std::to_string(m_Fd); }

uint32_t ReadFileToImage(const WCHAR* path, uint64_t maxSize, HiveImage* image) {
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return GetLastError();
  uint32_t high = 0;
  uint32_t low = GetFileSize(f, &high);
  uint32_t st = ERROR_SUCCESS;
  uint64_t size = (static_cast<uint64_t>(high) << 32) | low;
  if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
    st = GetLastError();
  } else if (size > maxSize) {
    PlatformTrace(u"Registry: %s is %I64u bytes, more than a hive may have\n", path, size);
    st = ERROR_BADDB;
  } else {
    st = image->Create(size);
  }
  for (uint64_t done = 0; st == ERROR_SUCCESS && done < size;) {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size - done, 64u << 20));
    uint32_t got = 0;
    if (!ReadFile(f, image->Data() + done, want, &got, nullptr)) st = GetLastError();
    else if (got == 0) st = ERROR_BADDB;  // the file shrank under us
    done += got;
  }
  CloseHandle(f);
  return st;
}

uint32_t RegfChecksum(const uint8_t* block) {
  uint32_t sum = 0;
  for (int i = 0; i < 508; i += 4) sum ^= LoadLE32(block + i);
  if (sum == 0xFFFFFFFFu) sum = 0xFFFFFFFEu;
  if (sum == 0) sum = 1;
  return sum;
}

bool RegfBaseBlockValid(const uint8_t* block) {
  return block[0] == 'r' && block[1] == 'e' && block[2] == 'g' && block[3] == 'f' &&
         RegfChecksum(block) == LoadLE32(block + 508);
}
