// The configuration text store, for what the random edits in cfg_ball_property_test.cpp do not
// reach: odd header, quoting and white space forms, numbers and their styles, buffer limits, where
// new lines go, section deletion, enumeration and UTF-8. Threads are in tests/threads.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "vm/cfg_text.h"
#include "vm_test_util.h"

using namespace vmtest;

namespace {

using Text = std::u16string;

std::vector<Text> Drain(CfgBallEnum* e) {
  std::vector<Text> names;
  WCHAR buf[64];
  while (e->Next(buf, 64)) names.push_back(buf);
  return names;
}

}  // namespace

TEST(CfgBall, Lookups) {
  struct Row {
    Text text;
    const char16_t* section;
    const char16_t* key;
    bool found;
    Text value;
  };
  const Row rows[] = {
      {u"=v\n", u"", u"", false, u""},                                  // empty key: ignored
      {u"a=1\rb=2\n", u"", u"a", true, u"1\rb=2"},                      // a lone CR ends no line
      {u"[ a ]\nk=v\n", u" A ", u"k", true, u"v"},                      // header names are not trimmed
      {u"[a\nk=v\n", u"a", u"k", false, u""},                           // unclosed header never matches
      {u"[a\nk=v\n", u"", u"k", false, u""},                            // but ends the unnamed section
      {u"[a]\nx=1\n[]\nk=v\n", u"", u"k", true, u"v"},                  // "[]" reopens the unnamed section
      {u"[a]\nk=1\n[b]\n[a]\nj=2\n", u"a", u"j", true, u"2"},           // every block is searched
      {u"\vk=1\n", u"", u"k", false, u""},                              // VT is not white space
      {u"k=\"\n", u"", u"k", true, u"\""}, {u"k=\"\"\n", u"", u"k", true, u""},
      {Text(u"k=v\0", 4), u"", u"k", true, u"v"},                      // NUL is white space
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text) + " [" + Utf16ToUtf8(row.section) + "] " + Utf16ToUtf8(row.key));
    Ball b = MakeBall(row.text);
    WCHAR buf[32] = u"unchanged";
    EXPECT_EQ(b->GetString(row.section, row.key, buf, 32), row.found);
    EXPECT_EQ(Text(buf), row.found ? row.value : Text(u"unchanged"));
    EXPECT_EQ(b->GetValueLength(row.section, row.key), row.found ? row.value.size() + 1 : 0u);
  }

  Ball b = MakeBall(u"k=abcdef\n");
  WCHAR small[3] = {'x', 'x', 'x'};
  EXPECT_TRUE(b->GetString(u"", u"k", small, 3));
  EXPECT_EQ(Text(small), u"ab");
  EXPECT_TRUE(b->GetString(nullptr, u"K", nullptr, 0));  // existence only; null section is ""
  EXPECT_EQ(b->GetValueLength(nullptr, u"k"), 0u);      // null names give 0 here
  EXPECT_EQ(b->GetValueLength(u"", nullptr), 0u);
  WCHAR raw[4];
  EXPECT_EQ(b->GetText(raw, 4), 4u);
  EXPECT_EQ(Text(raw, 4), u"k=ab");
  EXPECT_EQ(b->GetText(nullptr, 4), 9u);
}

TEST(CfgBall, NumberParsing) {
  struct Row {
    Text value;
    uint64_t number;
    uint32_t kind;
  };
  const Row rows[] = {
      {u"0x1F", 31, CfgHex},        {u"1Fh", 31, CfgHex},          {u"-12", uint64_t(-12), CfgSigned},
      {u"12abc", 12, 0},            {u"Yes", 1, CfgYesNo},         {u" on ", 1, CfgOnOff},
      {u"OFF", 0, CfgOnOff},        {u"O", 0, 0},                  {u"F", 0, CfgTrueFalse},
      {u"truex", 1, CfgTrueFalse},  {u"tru", 0, 0},                {u"Fred", 0, 0},
      {u"+5", 5, 0},                {u"-0x10", uint64_t(-16), CfgHex | CfgSigned},
      {u"0x", 0, 0},                {u"0xg", 0, 0},                {u"0h", 0, CfgHex},
      {u"9zh", 9, 0},               {u"1h2", 1, CfgHex},           {u" \t ", 0, 0},
      {u"\t7\v", 7, 0},             {Text(u"12\0 34", 6), 12, 0},  {u"18446744073709551616", 0, 0},
      {u"99999999999999999999", 7766279631452241919ull, 0},
      {u"0XfFfFfFfFfFfFfFfF1", 0xFFFFFFFFFFFFFFF1ull, CfgHex},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.value));
    uint32_t kind = 99;
    EXPECT_EQ(CfgParseNumber(row.value.data(), row.value.size(), &kind), row.number);
    EXPECT_EQ(kind, row.kind);
  }

  // Formatting: a word wins when the value is 0 or 1, else hex, else decimal.
  const Row outs[] = {
      {u"false", 0, CfgTrueFalse}, {u"true", 1, CfgOnOff | CfgTrueFalse}, {u"0x2", 2, CfgHex | CfgYesNo},
      {u"yes", 1, CfgHex | CfgYesNo}, {u"0x0", 0, CfgHex}, {u"0xFFFFFFFFFFFFFFFF", uint64_t(-1), CfgHex | CfgSigned},
      {u"-9223372036854775808", 0x8000000000000000ull, CfgSigned},
  };
  for (const Row& o : outs) {
    WCHAR buf[kCfgNumberRoom];
    EXPECT_EQ(Text(buf, CfgFormatNumber(o.number, o.kind, buf)), o.value);
  }
}

TEST(CfgBall, GetNumberWidths) {
  Ball b = MakeBall(u"big=70000\nneg=-1\nwide=0x1FFFFFFFF\nfive=5\nno=no\n");
  struct Row {
    const char16_t* key;
    int32_t width;
    bool ok;
    std::vector<uint8_t> bytes;  // written in host order; the rest of the buffer stays 0xAA
  };
  const Row rows[] = {
      {u"big", 16, true, {0x70, 0x11}}, {u"big", 12, false, {}},  {u"neg", -8, true, {0xFF}},
      {u"wide", 32, true, {0xFF, 0xFF, 0xFF, 0xFF}},              {u"neg", -64, true, std::vector<uint8_t>(8, 0xFF)},
      {u"five", 1, true, {1}},          {u"no", 1, true, {0}},    {u"absent", 32, false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Utf16ToUtf8(row.key) + " " + std::to_string(row.width));
    std::vector<uint8_t> out(9, 0xAA), want = row.bytes;
    want.resize(9, 0xAA);
    EXPECT_EQ(b->GetNumber(u"", row.key, row.width, out.data()), row.ok);
    EXPECT_EQ(out, want);
  }
  EXPECT_TRUE(b->GetNumber(nullptr, u"five", 12, nullptr));  // null out: existence only
}

TEST(CfgBall, Edits) {
  using Op = std::function<bool(CfgBall*)>;
  struct Row {
    const char* what;
    Text before;
    Op op;
    Text after;
  };
  auto set = [](const char16_t* s, const char16_t* k, const char16_t* v) {
    return [=](CfgBall* b) { return b->SetString(s, k, v); };
  };
  auto num = [](const char16_t* k, int32_t w, int64_t v) {
    return [=](CfgBall* b) { return b->SetNumber(u"", k, w, v); };
  };
  auto drop = [](const char16_t* s) { return [=](CfgBall* b) { return b->DeleteSection(s); }; };
  const Text big(5000, u'x');
  const Row rows[] = {
      {"null names are the unnamed section", u"", set(nullptr, u"k", nullptr), u"k\r\n"},
      {"replace keeps the caller's key", u"k=1\n", set(u"", u"K", u"2"), u"K=2\r\n"},
      {"key is trimmed", u"", set(u"", u"  k \t", u"v"), u"k=v\r\n"},
      {"new key before blank lines", u"[a]\nx=1\n\n  \n[b]\ny=2\n", set(u"a", u"k", u"v"),
       u"[a]\nx=1\nk=v\r\n\n  \n[b]\ny=2\n"},
      {"blank unnamed section", u"\n\n[a]\n", set(u"", u"k", u"v"), u"k=v\r\n\n\n[a]\n"},
      {"number over yes", u"k=yes\n", num(u"k", 32, 5), u"k=5\r\n"},
      {"zero over yes", u"k=yes\n", num(u"k", 32, 0), u"k=no\r\n"},
      {"number over hex", u"k = 0x10\n", num(u"k", 32, 255), u"k=0xFF\r\n"},
      {"boolean width over On", u"k=On\n", num(u"k", 1, 42), u"k=on\r\n"},
      {"signed width", u"", num(u"k", -32, -5), u"k=-5\r\n"},
      {"unsigned width prints unsigned", u"k=-3\n", num(u"k", 32, -5), u"k=18446744073709551611\r\n"},
      {"delete by null section", u"a=1\nk=2", [](CfgBall* b) { return b->DeleteKey(nullptr, u"K"); }, u"a=1\n"},
      {"growing past the first buffer", u"", set(u"", u"k", big.c_str()), u"k=" + big + u"\r\n"},
      // Section deletion: blank lines in front of a last section go with it.
      {"last section", u"x=1\n\n\n[a]\nk=1\n", drop(u"A"), u"x=1\n"},
      {"only section", u"\r\n[a]\r\n", drop(u"a"), u"\r\n"},
      {"unnamed section", u"x=1\n[a]\nk=1\n", drop(u""), u"[a]\nk=1\n"},
      {"repeated section: only a last block at the end", u"[a]\n[b]\n[a]\nk=1\n", drop(u"a"), u"[a]\n[b]\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Ball b = MakeBall(row.before);
    EXPECT_TRUE(row.op(b.get()));
    EXPECT_EQ(TextOf(b.get()), row.after);
  }
  Ball b = MakeBall(u"[a]\n");
  EXPECT_FALSE(b->DeleteSection(nullptr));
  EXPECT_FALSE(b->DeleteSection(u""));  // an empty unnamed section
  EXPECT_EQ(TextOf(b.get()), u"[a]\n");
}

TEST(CfgBall, Enumeration) {
  Ball b = MakeBall(u"x=1\n[a]\nk=1\nK=2\n[]\n[u\n[b] t\nj=1\n[A]\nm\n=z\n# c\n");
  Names sections(b->EnumSections()), keys(b->EnumKeys(u"a"));
  ASSERT_TRUE(sections && keys);
  EXPECT_EQ(Drain(sections.get()), (std::vector<Text>{u"a", u"", u"u", u"b", u"A"}));
  sections->Reset();
  EXPECT_EQ(Drain(sections.get()).size(), 5u);
  b->Clear();  // the enumerator keeps its own copy
  EXPECT_EQ(Drain(keys.get()), (std::vector<Text>{u"k", u"K", u"m"}));

  b = MakeBall(u"abcdef=1\ng=2\n[s]\nz=0\n");
  Names cut(b->EnumKeys(nullptr)), none(b->EnumKeys(u"none"));
  ASSERT_TRUE(cut && none);
  WCHAR buf[3];
  EXPECT_TRUE(cut->Next(buf, 3));
  EXPECT_EQ(Text(buf), u"ab");  // cut, not offered again
  EXPECT_TRUE(cut->Next(nullptr, 0));
  EXPECT_FALSE(cut->Next(buf, 3));
  EXPECT_FALSE(none->Next(buf, 3));
}

TEST(CfgBall, Utf8) {
  struct Row {
    std::vector<uint8_t> bytes;
    Text text;
    bool encodes;  // the text encodes back to exactly these bytes
  };
  const Row rows[] = {
      {{0x41, 0xC3, 0x41}, u"AA", false},                        // cut-short lead byte dropped
      {{0xF0, 0x9F, 0x98, 0x80}, u"\U0001F600", true},
      {{0x61, 0xC3, 0xA9, 0xE2, 0x82, 0xAC}, u"aé€", true},
      {{0xC1, 0xBF, 0xC0, 0x80}, Text(u"\x7F\0", 2), false},     // overlong forms decode
      {{0x80, 0x41, 0xF8, 0x42, 0xFF}, u"AB", false},
      {{0xE2, 0x82, 0x41}, u"A", false},
      {{0xE2, 0x82}, u"", false},
      {{0xED, 0xA0, 0x80, 0x41}, Text(u"\xD800" u"A"), true},              // unpaired high
      {{0xED, 0xB0, 0x80, 0xED, 0xA0, 0x80}, Text(u"\xDC00\xD800"), true},  // reversed pair
      {{0x00, 0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80}, Text(u"\0\x7F\x80\x7FF\x800", 5), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text));
    Ball b(CreateCfgBall());
    ASSERT_TRUE(b->SetTextUtf8(row.bytes.data(), row.bytes.size()));
    EXPECT_EQ(TextOf(b.get()), row.text);
    if (!row.encodes) continue;
    std::vector<uint8_t> out(row.bytes.size() + 2, 0xAA);
    EXPECT_EQ(b->GetTextUtf8(out.data(), out.size()), row.bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + row.bytes.size()), row.bytes);
    EXPECT_EQ(out[row.bytes.size()], 0xAA);  // no terminator
  }

  // Only whole sequences are written; the count runs to the end.
  Ball b = MakeBall(u"aé€");
  uint8_t four[4] = {0, 0, 0, 0xAA};
  EXPECT_EQ(b->GetTextUtf8(four, 4), 6u);
  EXPECT_EQ(four[3], 0xAA);
  EXPECT_EQ(four[1], 0xC3);
  EXPECT_EQ(b->GetTextUtf8(nullptr, 100), 6u);

  const uint8_t zero[] = "k=v\0ignored";
  ASSERT_TRUE(b->SetTextUtf8(zero, kCfgNulTerminated));
  EXPECT_EQ(TextOf(b.get()), u"k=v");
  EXPECT_FALSE(b->SetTextUtf8(nullptr, 3));
  EXPECT_TRUE(b->SetText(nullptr, 5));
  EXPECT_EQ(TextOf(b.get()), u"");
}
