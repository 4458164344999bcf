// UTF-16 helpers and the Windows-convention formatter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/wstr.h"

namespace {

std::u16string Fmt(size_t size, const WCHAR* fmt, ...) {
  WCHAR buf[256];
  for (auto& c : buf) c = u'#';  // canaries beyond what the formatter may touch
  va_list ap;
  va_start(ap, fmt);
  int n = WStrFormatV(buf, size, fmt, ap);
  va_end(ap);
  EXPECT_GE(n, 0);
  for (size_t i = size; i < 256; ++i) EXPECT_EQ(buf[i], u'#') << "wrote past the buffer at " << i;
  return std::u16string(buf);
}

std::string AFmt(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  AStrFormatV(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

TEST(Strings, BoundedCopyAppendAndLengths) {
  WCHAR d[6];
  for (auto& c : d) c = u'#';
  WStrCopy(d, 4, u"abcdef");
  EXPECT_EQ(std::u16string(d), u"abc");
  EXPECT_EQ(d[4], u'#');
  WStrCopy(d, 6, nullptr);
  EXPECT_EQ(d[0], 0);
  WStrCopy(d, 6, u"ab");
  WStrAppend(d, 6, u"cdefgh");
  EXPECT_EQ(std::u16string(d), u"abcde");
  WStrCopy(d, 0, u"x");  // size 0: untouched
  EXPECT_EQ(std::u16string(d), u"abcde");
  EXPECT_EQ(WStrLen(nullptr), 0u);
  EXPECT_EQ(WStrLen(u"abc"), 3u);
  EXPECT_EQ(WStrDup(nullptr), nullptr);
  WCHAR* dup = WStrDup(u"xyz");
  EXPECT_EQ(std::u16string(dup), u"xyz");
  free(dup);
}

TEST(Strings, ComparisonsFoldOnlyAToZ) {
  EXPECT_EQ(WStrCmp(nullptr, u""), 0);
  EXPECT_LT(WStrCmp(u"a", u"b"), 0);
  EXPECT_GT(WStrCmp(u"b", nullptr), 0);
  EXPECT_EQ(WStrNCmp(u"abcX", u"abcY", 3), 0);
  EXPECT_EQ(WStrICmpAZ(u"Disk.VMDK", u"disk.vmdk"), 0);
  EXPECT_NE(WStrICmpAZ(u"\u00e9", u"\u00c9"), 0);  // é and É are not folded
  EXPECT_EQ(WStrNICmpAZ(u"CID=1", u"cid=2", 4), 0);
  WCHAR up[] = u"c:\\vms\\t\u00e9st.vmx";
  WStrUpper(up);
  EXPECT_EQ(std::u16string(up), u"C:\\VMS\\T\u00c9ST.VMX");  // towupper maps beyond ASCII
  const WCHAR* path = u"a\\b\\c.d";
  EXPECT_EQ(WStrRChr(path, u'\\'), path + 3);
  EXPECT_EQ(WStrRChr(path, u'!'), nullptr);
  EXPECT_EQ(WStrRChr(nullptr, u'a'), nullptr);
}

TEST(Formatter, IntegersFollowWindowsWidths) {
  EXPECT_EQ(Fmt(64, u".V%02d", 1), u".V01");
  EXPECT_EQ(Fmt(64, u".V%02d", 99), u".V99");
  EXPECT_EQ(Fmt(64, u"scsi%d:%d.filename", 0, 15), u"scsi0:15.filename");
  EXPECT_EQ(Fmt(64, u"[%5d|%-5d|%05d]", -42, 7, -42), u"[  -42|7    |-0042]");
  // l is 32 bits: a negative NT status prints as eight digits, and the next argument is intact.
  EXPECT_EQ(Fmt(64, u"%08lx %d", static_cast<int32_t>(0xC0000034), 5), u"c0000034 5");
  EXPECT_EQ(Fmt(64, u"%I64d %I64x %lld", static_cast<int64_t>(-5000000000LL),
                static_cast<uint64_t>(0x1234567890ull), static_cast<int64_t>(1) << 40),
            u"-5000000000 1234567890 1099511627776");
  EXPECT_EQ(Fmt(64, u"%u %X %#x %i", 4294967295u, 0xabcu, 255u, 3), u"4294967295 ABC 0xff 3");
  EXPECT_EQ(Fmt(64, u"%%%c%hc", u'\u00e9', 'z'), u"%\u00e9z");
}

TEST(Formatter, StringsInBothWidthsAndTruncation) {
  EXPECT_EQ(Fmt(64, u"<%s|%hs|%ls|%S>", u"w\u00e9", "n\xc3\xa9", u"L", "S"), u"<w\u00e9|n\u00e9|L|S>");
  EXPECT_EQ(Fmt(64, u"%s", static_cast<const WCHAR*>(nullptr)), u"(null)");
  EXPECT_EQ(Fmt(64, u"[%.2s][%4s]", u"abcdef", u"ab"), u"[ab][  ab]");
  // Truncation: at most size-1 units, always terminated, the full length returned.
  WCHAR buf[8];
  for (auto& c : buf) c = u'#';
  int n = WStrFormat(buf, 5, u"%s-%d", u"abcdef", 12345);
  EXPECT_EQ(n, 12);
  EXPECT_EQ(std::u16string(buf), u"abcd");
  EXPECT_EQ(buf[5], u'#');
  EXPECT_EQ(WStrFormat(nullptr, 0, u"%d", 123456), 6);
  // In an 8-bit format %s is 8-bit text and %ls UTF-16.
  EXPECT_EQ(AFmt("Loaded Dll %ls (%s) %08lx", u"Z:\\lib\\t\u00e9.so", "x", static_cast<int32_t>(-1)),
            "Loaded Dll Z:\\lib\\t\xc3\xa9.so (x) ffffffff");
  EXPECT_EQ(AFmt("NotComDllGetInterface %s returned %i", "VM_Mount_Control_1", 123),
            "NotComDllGetInterface VM_Mount_Control_1 returned 123");
}

TEST(Strings, Utf8RoundTripKeepsInvalidBytes) {
  EXPECT_EQ(Utf8ToUtf16("a\xc3\xa9\xf0\x9f\x98\x80"), u"a\u00e9\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(u"a\u00e9\U0001F600"), "a\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(Utf8ToUtf16("\xff\x41"), u"\u00ff\u0041");  // a stray byte decodes as Latin-1
}

}  // namespace
