// One loaded hive: its bytes in a memory file, read lazily through hivex (nothing is copied into
// the key tree at load), switched to a writable hivex handle on the first change and written
// back to its file through the Win32 file layer. Statuses are Win32 codes.
#pragma once
#include <hivex.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/reg_image.h"
#include "platform/win_file.h"
#include "vmpeek/types.h"

// Limits on what is read from a hive.
constexpr uint64_t kRegMaxValueSize = 64ull << 20;
constexpr uint64_t kRegMaxHiveSize = 2ull << 30;

struct HiveValue {
  std::u16string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

class RegHive {
 public:
  ~RegHive();
  static uint32_t Load(const WCHAR* path, std::unique_ptr<RegHive>* hive);

  hive_node_h Root() const { return m_Root; }
  bool Modified() const { return m_Modified; }
  const std::u16string& Path() const { return m_Path; }

  // Keys.
  uint32_t Children(hive_node_h node, std::vector<hive_node_h>* children);
  uint32_t Name(hive_node_h node, std::u16string* name);
  // The child with that name (case-insensitive); 0 with ERROR_SUCCESS when there is none.
  uint32_t FindChild(hive_node_h node, const std::u16string& name, hive_node_h* child);
  uint64_t Timestamp(hive_node_h node);
  uint32_t AddChild(hive_node_h node, const std::u16string& name, hive_node_h* child);
  uint32_t DeleteNode(hive_node_h node);

  // Values.
  uint32_t Values(hive_node_h node, std::vector<hive_value_h>* values);
  uint32_t ValueName(hive_value_h value, std::u16string* name);
  uint32_t ValueInfo(hive_value_h value, uint32_t* type, uint32_t* size);
  uint32_t ValueData(hive_value_h value, HiveValue* out);
  // The value with that name (case-insensitive); 0 with ERROR_SUCCESS when there is none.
  uint32_t FindValue(hive_node_h node, const std::u16string& name, hive_value_h* value);
  uint32_t SetValue(hive_node_h node, const HiveValue& value);
  uint32_t DeleteValue(hive_node_h node, const std::u16string& name);

  // Writes the hive back to its file when it was changed. On failure the file keeps its bytes.
  uint32_t Flush();

 private:
  RegHive() = default;
  uint32_t MakeWritable();
  uint32_t Fail(const char* call);
  uint32_t WriteImage(const uint8_t* data, uint64_t size);

  std::u16string m_Path;
  HANDLE m_File = nullptr;   // the hive file, while hivex reads it directly
  std::string m_HivexPath;   // what hivex opened: that file's /proc/self/fd name, or m_Image's
  HiveImage m_Image;
  hive_h* m_Hive = nullptr;
  hive_node_h m_Root = 0;
  bool m_Writable = false;
  bool m_Modified = false;
};

// Case folding of registry names (Unicode upper case, unit by unit, as Windows compares).
std::u16string RegFold(const std::u16string& name);
