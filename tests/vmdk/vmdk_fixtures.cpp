#include "vmdk_fixtures.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace vmdktest {

using vmtest::Quote;

NTSTATUS OpenVmdk(const std::string& path, bool readOnly, DiskRef* disk) {
  disk->reset();
  VirtualDisk* d = OpenVirtualDisk(vmtest::NtPath(path).c_str());
  if (d == nullptr) return STATUS_UNSUCCESSFUL;
  const NTSTATUS status = d->Open(readOnly ? 1 : 0);
  if (status < 0) {
    d->Release();
    return status;
  }
  disk->p = d;
  return status;
}

void MustRun(const std::string& command) {
  std::string out;
  const int rc = vmtest::Run(command + " 2>&1", &out);
  ASSERT_EQ(rc, 0) << command << "\n" << out;
}

void PatchFile(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr) << path;
  ASSERT_EQ(fseeko(f, static_cast<off_t>(offset), SEEK_SET), 0);
  ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  fclose(f);
}

void PatchLE32(const std::string& path, uint64_t offset, uint32_t value) {
  std::vector<uint8_t> b(4);
  vmtest::PutLE32(b.data(), value);
  PatchFile(path, offset, b);
}

void PatchLE64(const std::string& path, uint64_t offset, uint64_t value) {
  std::vector<uint8_t> b(8);
  vmtest::PutLE64(b.data(), value);
  PatchFile(path, offset, b);
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, uint64_t length) {
  std::vector<uint8_t> data;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return data;
  data.resize(length);
  fseeko(f, static_cast<off_t>(offset), SEEK_SET);
  data.resize(fread(data.data(), 1, length, f));
  fclose(f);
  return data;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) { return ReadFileBytes(path, 0, FileSize(path)); }

void MakeRaw(const std::string& path, uint64_t bytes, const Pieces& pieces) {
  MustRun("truncate -s " + std::to_string(bytes) + " " + Quote(path));
  MustRun("printf 'label: dos\\nstart=2048, type=83\\n' | sfdisk -q " + Quote(path));
  for (const auto& piece : pieces) PatchFile(path, piece.first, piece.second);
}

void RawToVmdk(const std::string& raw, const std::string& vmdk, const std::string& subformat) {
  MustRun("qemu-img convert -f raw -O vmdk -o subformat=" + subformat + " " + Quote(raw) + " " + Quote(vmdk));
}

std::string ToRaw(const std::string& image, const std::string& raw) {
  MustRun("qemu-img convert -O raw " + Quote(image) + " " + Quote(raw));
  return raw;
}

int64_t CompareWithRaw(VirtualDisk* disk, const std::string& raw) {
  uint64_t sectors = 0;
  disk->GetGeometry(nullptr, nullptr, &sectors, nullptr, nullptr, nullptr);
  if (FileSize(raw) != sectors * 512) return 0;
  FILE* f = fopen(raw.c_str(), "rb");
  if (!f) return -2;
  const uint32_t chunk = 16384;  // sectors
  std::vector<uint8_t> mine(uint64_t{chunk} * 512), theirs(mine.size());
  int64_t result = -1;
  for (uint64_t s = 0; s < sectors && result == -1; s += chunk) {
    const uint32_t n = static_cast<uint32_t>(sectors - s < chunk ? sectors - s : chunk);
    if (disk->Read(s, n, mine.data()) < 0) {
      result = -2;
      break;
    }
    if (fread(theirs.data(), 512, n, f) != n) {
      result = -2;
      break;
    }
    if (memcmp(mine.data(), theirs.data(), uint64_t{n} * 512) != 0) {
      for (uint32_t i = 0; i < n; ++i) {
        if (memcmp(mine.data() + uint64_t{i} * 512, theirs.data() + uint64_t{i} * 512, 512) != 0) {
          result = static_cast<int64_t>(s + i);
          break;
        }
      }
    }
  }
  fclose(f);
  return result;
}

int64_t FindInFile(const std::string& path, const std::string& text) {
  const std::vector<uint8_t> data = ReadFileBytes(path);
  const std::string s(data.begin(), data.end());
  const size_t at = s.find(text);
  return at == std::string::npos ? -1 : static_cast<int64_t>(at);
}

std::string TextDescriptor(uint32_t cid, uint32_t parentCid, const std::vector<std::string>& extentLines,
                           const std::string& parentHint) {
  char ids[96];
  snprintf(ids, sizeof(ids), "CID=%08x\nparentCID=%08x\n", cid, parentCid);
  std::string text = std::string("# Disk DescriptorFile\nversion=1\n") + ids + "createType=\"custom\"\n";
  if (!parentHint.empty()) text += "parentFileNameHint=\"" + parentHint + "\"\n";
  text += "\n# Extent description\n";
  for (const std::string& line : extentLines) text += line + "\n";
  text += "\n# The Disk Data Base \n#DDB\n\nddb.virtualHWVersion = \"4\"\n"
          "ddb.geometry.cylinders = \"20\"\nddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\n";
  return text;
}

}  // namespace vmdktest
