// Registry keys and values of a guest as the reg command reads, shows, exports and parses them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/win_registry.h"

struct RegValue {
  std::u16string name;  // empty: the key's default value
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct RegKeyContents {
  std::vector<std::u16string> subkeys;
  std::vector<RegValue> values;
};

// Reads the subkey names and every value of an open key; a Win32 status.
uint32_t ReadRegKey(HKEY key, RegKeyContents* contents);
// Reads one value (name "" = default); a Win32 status.
uint32_t ReadRegValue(HKEY key, const std::u16string& name, RegValue* value);

// "REG_SZ", ..., "REG_QWORD"; unknown types as "REG_0x1234".
std::string RegTypeName(uint32_t type);
// Accepts "REG_SZ", "sz", "dword", ... (any case); false for an unknown name.
bool ParseRegType(const std::string& text, uint32_t* type);
// The value's data for JSON: a string (REG_SZ, REG_EXPAND_SZ, REG_LINK), an array of strings
// (REG_MULTI_SZ), an exact number (REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD of the right size),
// else lowercase hex digits.
nlohmann::ordered_json RegDataJson(const RegValue& value);
// The same as one line of text.
std::string RegDataText(const RegValue& value);
// One `"name"=data` line (or several joined by "\\\r\n  ") of the .reg text format, CRLF-free.
std::u16string RegExportValue(const RegValue& value);
// "[KEY]" section header text for the .reg format.
std::u16string RegExportKey(const std::string& fullKeyName);
// Builds value data from command-line arguments: one argument for most types (DWORD/QWORD in
// decimal or 0x hex, binary as hex digits, optionally separated by commas or spaces), one argument
// per string for REG_MULTI_SZ. False with a message in *error when they do not fit the type.
bool ParseRegData(uint32_t type, const std::vector<std::string>& args, std::vector<uint8_t>* data, std::string* error);
