#include "cli/failure_cause.h"

#include "cli/trace_paths.h"
#include "platform/wstr.h"

namespace {

// Formats named by the readers' lines, most specific first (a stream-optimized extent also
// has compressed grains).
const std::pair<const char*, const char*> kUnsupported[] = {
    {"VHDX is not supported", "VHDX is not supported yet"},
    {"stream-optimized", "stream-optimized VMDK is not supported yet"},
    {"compressed grains", "compressed grains are not supported yet"},
};

bool Has(const std::string& line, const char* text) { return line.find(text) != std::string::npos; }

// The parents a differencing VHD looked for and did not find, when that is why it failed.
// "trying parent X" names each candidate. A candidate that exists opens its own parent search
// ("Looking for W2ku") when it is itself a child: missing candidates after that are its
// parents, the real gap. A missing candidate after an existing one that failed on its own
// ("Looking for W2ru" next) is only a second guess, and the existing one's lines explain.
std::vector<std::u16string> MissingParents(const std::vector<std::string>& lines) {
  static const std::string kTrying = "VHDVirtualDisk::FindParent trying parent ";
  std::vector<std::u16string> missing;
  bool afterExisting = false, nested = false, decided = false;
  for (const std::string& line : lines) {
    if (line.rfind(kTrying, 0) == 0) {
      std::string path = line.substr(kTrying.size());
      while (!path.empty() && path.back() == '.') path.pop_back();
      const std::u16string library = Utf8ToUtf16(path);
      if (LibraryPathExists(library)) {
        missing.clear();
        afterExisting = true;
        decided = false;
      } else if (!afterExisting || nested) {
        bool seen = false;
        for (const std::u16string& m : missing) seen = seen || m == library;
        if (!seen) missing.push_back(library);
      }
    } else if (afterExisting && !decided && Has(line, "VHDVirtualDisk::FindParent : Looking for W2")) {
      nested = Has(line, "W2ku");
      decided = true;
    }
  }
  return missing;
}

}  // namespace

std::string FailureCause(const std::vector<std::string>& lines, const std::string& typed) {
  for (const auto& [needle, cause] : kUnsupported)
    for (const std::string& line : lines)
      if (Has(WithoutPaths(line), needle)) return cause;
  bool parentFailed = false;
  for (const std::string& line : lines) parentFailed = parentFailed || Has(line, "failed to get parent of difference disk");
  if (!parentFailed) return "";
  std::string tried;
  for (const std::u16string& path : MissingParents(lines)) tried += (tried.empty() ? "" : ", ") + ShownPath(path, typed);
  return tried.empty() ? "" : "parent not found: tried " + tried;
}
