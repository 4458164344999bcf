// UTF-8 <-> UTF-16 for the configuration store. Decoding never fails: a byte that cannot start
// or finish a sequence is dropped and decoding goes on with the next byte. Overlong forms are
// taken as they decode; a character above U+FFFF becomes a surrogate pair.
#include "vm/cfg_text.h"

namespace {

inline void Put(WCHAR* out, uint64_t capacity, uint64_t at, uint32_t unit) {
  if (out && at < capacity) out[at] = static_cast<WCHAR>(unit);
}

}  // namespace

uint64_t CfgDecodeUtf8(const uint8_t* bytes, uint64_t length, WCHAR* out, uint64_t capacity) {
  uint64_t produced = 0;
  uint64_t i = 0;
  while (i < length) {
    uint8_t b = bytes[i];
    if (b < 0x80) {
      Put(out, capacity, produced++, b);
      ++i;
      continue;
    }
    uint32_t follow;
    uint32_t cp;
    if ((b & 0xE0) == 0xC0) {
      follow = 1;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      follow = 2;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      follow = 3;
      cp = b & 0x07;
    } else {
      ++i;  // a continuation byte out of place, or a lead byte 11111xxx
      continue;
    }
    if (length - i - 1 < follow) {
      ++i;  // cut short by the end of the data
      continue;
    }
    bool whole = true;
    for (uint32_t k = 1; k <= follow; ++k) {
      uint8_t c = bytes[i + k];
      if ((c & 0xC0) != 0x80) {
        whole = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!whole) {
      ++i;  // cut short by a byte that does not continue it
      continue;
    }
    i += 1 + follow;
    if (cp > 0xFFFF) {
      uint32_t v = cp - 0x10000;
      Put(out, capacity, produced++, 0xD800 + (v >> 10));
      Put(out, capacity, produced++, 0xDC00 + (v & 0x3FF));
    } else {
      Put(out, capacity, produced++, cp);
    }
  }
  return produced;
}

uint64_t CfgEncodeUtf8(const WCHAR* text, uint64_t length, uint8_t* out, uint64_t capacity) {
  if (!out) capacity = 0;
  uint64_t total = 0;
  for (uint64_t i = 0; i < length; ++i) {
    uint32_t u = text[i];
    uint8_t seq[4];
    uint32_t n;
    if (u < 0x80) {
      seq[0] = static_cast<uint8_t>(u);
      n = 1;
    } else if (u < 0x800) {
      seq[0] = static_cast<uint8_t>(0xC0 | (u >> 6));
      seq[1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
      n = 2;
    } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
               text[i + 1] <= 0xDFFF) {
      uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
      seq[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
      seq[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
      seq[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      seq[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      n = 4;
    } else {
      seq[0] = static_cast<uint8_t>(0xE0 | (u >> 12));
      seq[1] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
      seq[2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
      n = 3;
    }
    if (total + n <= capacity)
      for (uint32_t k = 0; k < n; ++k) out[total + k] = seq[k];
    total += n;
  }
  return total;
}
