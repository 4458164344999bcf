#include "cli/content_id.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <vector>

#include "cli/disk_facts.h"
#include "platform/endian.h"

namespace {

constexpr uint32_t kSparseMagic = 0x564d444b;       // "KDMV"
constexpr uint64_t kMaxDescriptorBytes = 1 << 20;  // a descriptor is a few KiB
constexpr uint64_t kTextDescriptorBytes = 64 * 1024;

class File {
 public:
  explicit File(const std::string& path) : m_Fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
    struct stat st;
    if (m_Fd >= 0 && fstat(m_Fd, &st) == 0 && S_ISREG(st.st_mode)) m_Size = static_cast<uint64_t>(st.st_size);
  }
  ~File() {
    if (m_Fd >= 0) close(m_Fd);
  }
  uint64_t Size() const { return m_Size; }
  // Reads exactly length bytes at offset, all inside the file.
  bool Read(uint64_t offset, uint64_t length, std::vector<uint8_t>* out) const {
    if (m_Fd < 0 || offset > m_Size || length > m_Size - offset) return false;
    out->assign(length, 0);
    for (uint64_t done = 0; done < length;) {
      ssize_t n = pread(m_Fd, out->data() + done, length - done, static_cast<off_t>(offset + done));
      if (n <= 0) return false;
      done += static_cast<uint64_t>(n);
    }
    return true;
  }

 private:
  int m_Fd;
  uint64_t m_Size = 0;
};

std::optional<std::string> VmdkContentId(const File& file) {
  std::vector<uint8_t> bytes;
  if (!file.Read(0, file.Size() < 512 ? file.Size() : 512, &bytes) || bytes.size() < 4) return std::nullopt;
  if (LoadLE32(bytes.data()) == kSparseMagic) {
    if (bytes.size() < 44) return std::nullopt;
    uint64_t offset = LoadLE64(bytes.data() + 28);
    uint64_t sectors = LoadLE64(bytes.data() + 36);
    if (offset == 0 || sectors == 0 || sectors > kMaxDescriptorBytes / 512 || offset > file.Size() / 512)
      return std::nullopt;
    if (!file.Read(offset * 512, sectors * 512, &bytes)) return std::nullopt;
  } else if (!file.Read(0, file.Size() < kTextDescriptorBytes ? file.Size() : kTextDescriptorBytes, &bytes)) {
    return std::nullopt;
  }
  return DescriptorCid(std::string(bytes.begin(), bytes.end()));
}

std::optional<std::string> VhdContentId(const File& file) {
  std::vector<uint8_t> footer;
  auto idAt = [&](uint64_t offset, uint64_t length) -> std::optional<std::string> {
    if (!file.Read(offset, length, &footer) || footer.size() < 84) return std::nullopt;
    if (std::string(footer.begin(), footer.begin() + 8) != "conectix") return std::nullopt;
    return HexId(footer.data() + 68, 16);
  };
  uint64_t size = file.Size();
  if (size >= 512)
    if (auto id = idAt(size - 512, 512)) return id;
  if (size >= 511)
    if (auto id = idAt(size - 511, 511)) return id;
  // Dynamic and differencing images keep a copy of the footer at the start.
  return idAt(0, 512);
}

}  // namespace

std::optional<std::string> DescriptorCid(const std::string& text) {
  size_t start = 0;
  size_t end = text.find('\0');
  if (end == std::string::npos) end = text.size();
  while (start < end) {
    size_t stop = text.find_first_of("\r\n", start);
    if (stop == std::string::npos || stop > end) stop = end;
    std::string line = text.substr(start, stop - start);
    start = stop + 1;
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line.size() - i < 3) continue;
    if (toupper(static_cast<unsigned char>(line[i])) != 'C' || toupper(static_cast<unsigned char>(line[i + 1])) != 'I' ||
        toupper(static_cast<unsigned char>(line[i + 2])) != 'D')
      continue;
    i = line.find_first_not_of(" \t", i + 3);
    if (i == std::string::npos || line[i] != '=') continue;
    i = line.find_first_not_of(" \t\"", i + 1);
    std::string value;
    while (i != std::string::npos && i < line.size() && isxdigit(static_cast<unsigned char>(line[i])) && value.size() < 16)
      value.push_back(static_cast<char>(tolower(static_cast<unsigned char>(line[i++]))));
    if (!value.empty()) return value;
  }
  return std::nullopt;
}

std::optional<std::string> ReadContentId(const std::string& posixPath, const std::string& format) {
  File file(posixPath);
  if (file.Size() == 0) return std::nullopt;
  if (format == "vmdk") return VmdkContentId(file);
  if (format == "vhd") return VhdContentId(file);
  return std::nullopt;
}
