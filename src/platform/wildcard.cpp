// Windows file name pattern matching over the set of reachable name positions.
#include "platform/wildcard.h"

#include <vector>

#include "platform/host_names.h"

namespace {

constexpr char16_t kDosStar = u'<';  // any run that does not pass the name's final dot
constexpr char16_t kDosQm = u'>';    // one character, or nothing at a dot or the end
constexpr char16_t kDosDot = u'"';   // a dot, or nothing at the end

std::u16string ToDosPattern(const std::u16string& p) {
  if (p == u"*.*") return u"*";
  std::u16string out;
  for (size_t i = 0; i < p.size(); ++i) {
    char16_t next = i + 1 < p.size() ? p[i + 1] : 0;
    if (p[i] == u'?') out += kDosQm;
    else if (p[i] == u'*' && next == u'.') out += kDosStar;
    else if (p[i] == u'.' && (next == u'?' || next == u'*' || next == 0)) out += kDosDot;
    else out += p[i];
  }
  return out;
}

}  // namespace

bool HasWildcards(const std::u16string& p) { return p.find_first_of(u"*?<>\"") != std::u16string::npos; }

bool WildcardMatch(const std::u16string& pattern, const std::u16string& nameIn) {
  std::u16string pat = FoldName(ToDosPattern(pattern));
  std::u16string name = FoldName(nameIn);
  size_t len = name.size();
  size_t lastDot = name.rfind(u'.');
  std::vector<char> at(len + 1, 0), next(len + 1, 0);
  at[0] = 1;
  for (char16_t c : pat) {
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    for (size_t j = 0; j <= len; ++j) {
      if (!at[j]) continue;
      any = true;
      switch (c) {
        case u'*':
          for (size_t k = j; k <= len; ++k) next[k] = 1;
          break;
        case kDosStar: {
          size_t end = lastDot != std::u16string::npos && j <= lastDot ? lastDot : len;
          for (size_t k = j; k <= end; ++k) next[k] = 1;
          break;
        }
        case kDosQm:
          if (j < len && name[j] != u'.') next[j + 1] = 1;
          else next[j] = 1;
          break;
        case kDosDot:
          if (j < len && name[j] == u'.') next[j + 1] = 1;
          else if (j == len) next[j] = 1;
          break;
        default:
          if (j < len && name[j] == c) next[j + 1] = 1;
      }
    }
    if (!any) return false;
    at.swap(next);
  }
  return at[len] != 0;
}
