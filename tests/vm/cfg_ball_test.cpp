// The configuration text store: lookups, numbers, edits, sections, enumeration and UTF-8, each
// as a table of texts and operations with the exact result. Random edits against a model are in
// cfg_ball_property_test.cpp, threads in tests/threads.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "vm/cfg_ball.h"
#include "vm/cfg_text.h"

namespace {

using Text = std::u16string;

struct BallDeleter {
  void operator()(CfgBall* b) const { b->Release(); }
};
using Ball = std::unique_ptr<CfgBall, BallDeleter>;

Ball MakeBall(const Text& text) {
  Ball b(CreateCfgBall());
  EXPECT_TRUE(b->SetText(text.data(), text.size()));
  return b;
}

Text TextOf(CfgBall* b) {
  Text t(b->GetText(nullptr, 0), u'\0');
  EXPECT_EQ(b->GetText(t.data(), t.size()), t.size());
  return t;
}

// Printable form for failure messages.
std::string Show(const Text& t) {
  std::string s;
  for (char16_t c : t) {
    if (c == '\r') s += "\\r";
    else if (c == '\n') s += "\\n";
    else if (c < 0x20 || c > 0x7E) s += "\\u" + std::to_string(c);
    else s += static_cast<char>(c);
  }
  return s;
}

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
      {u"guestOS = \"winxppro\"", u"", u"GUESTOS", true, u"winxppro"},
      {u"  Key  =   value with spaces   \r\n", u"", u"key", true, u"value with spaces"},
      {u"k = \"x\" ; note\n", u"", u"k", true, u"\"x\" ; note"},        // no comment after a value
      {u"flag\n", u"", u"FLAG", true, u""},                             // no "=": empty value
      {u"=v\n", u"", u"", false, u""},                                  // empty key: ignored
      {u"a=1\rb=2\n", u"", u"a", true, u"1\rb=2"},                      // a lone CR ends no line
      {u"a=1\rb=2\n", u"", u"b", false, u""}, {u"[Sec] trailing\nk=v\n", u"sEC", u"k", true, u"v"},
      {u"[ a ]\nk=v\n", u" A ", u"k", true, u"v"},                      // header names are not trimmed
      {u"[ a ]\nk=v\n", u"a", u"k", false, u""},
      {u"[a\nk=v\n", u"a", u"k", false, u""},                           // unclosed header never matches
      {u"[a\nk=v\n", u"", u"k", false, u""},
      {u"[a]\nx=1\n[]\nk=v\n", u"", u"k", true, u"v"},                  // "[]" reopens the unnamed section
      {u"[a]\nk=1\n[b]\n[a]\nj=2\n", u"a", u"j", true, u"2"},           // every block is searched
      {u"\vk=1\n", u"", u"k", false, u""},                              // VT is not white space
      {u"k=\"\n", u"", u"k", true, u"\""}, {u"k=\"\"\n", u"", u"k", true, u""},
      {u"k=\"a\"b\"\n", u"", u"k", true, u"a\"b"},                      // only the outer pair goes
      {u"k\t=\tv\t\r\n", u"", u"k", true, u"v"}, {Text(u"k=v\0", 4), u"", u"k", true, u"v"},                       // NUL is white space
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.text) + " [" + Show(row.section) + "] " + Show(row.key));
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
      {u"t", 1, CfgTrueFalse},      {u"truex", 1, CfgTrueFalse},   {u"tru", 0, 0},
      {u"Fred", 0, 0},              {u"nope", 0, CfgYesNo},        {u"y", 1, CfgYesNo},
      {u"+5", 5, 0},                {u"-0x10", uint64_t(-16), CfgHex | CfgSigned},
      {u"0x", 0, 0},                {u"0xg", 0, 0},                {u"0h", 0, CfgHex},
      {u"9zh", 9, 0},               {u"1h2", 1, CfgHex},           {u"", 0, 0},
      {u" \t ", 0, 0},              {u"\t7\v", 7, 0},              {Text(u"12\0 34", 6), 12, 0},
      {u"18446744073709551616", 0, 0},  {u"99999999999999999999", 7766279631452241919ull, 0},
      {u"0XfFfFfFfFfFfFfFfF1", 0xFFFFFFFFFFFFFFF1ull, CfgHex},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.value));
    uint32_t kind = 99;
    EXPECT_EQ(CfgParseNumber(row.value.data(), row.value.size(), &kind), row.number);
    EXPECT_EQ(kind, row.kind);
  }

  struct Out {
    uint64_t value;
    uint32_t kind;
    Text text;
  };
  const Out outs[] = {
      {1, CfgYesNo, u"yes"},          {0, CfgTrueFalse, u"false"},  {1, CfgOnOff | CfgTrueFalse, u"true"},
      {0, CfgOnOff, u"off"},          {5, CfgYesNo, u"5"},          {255, CfgHex, u"0xFF"},
      {0, CfgHex, u"0x0"},            {uint64_t(-1), CfgHex | CfgSigned, u"0xFFFFFFFFFFFFFFFF"},
      {uint64_t(-5), CfgSigned, u"-5"}, {uint64_t(-5), 0, u"18446744073709551611"},
      {0x8000000000000000ull, CfgSigned, u"-9223372036854775808"}, {1, CfgHex | CfgYesNo, u"yes"},
      {2, CfgHex | CfgYesNo, u"0x2"}, {0, 0, u"0"},
  };
  for (const Out& o : outs) {
    WCHAR buf[kCfgNumberRoom];
    uint64_t n = CfgFormatNumber(o.value, o.kind, buf);
    EXPECT_EQ(Text(buf, n), o.text);
  }
}

TEST(CfgBall, GetNumberWidths) {
  Ball b = MakeBall(u"big=70000\nneg=-1\nwide=0x1FFFFFFFF\nfive=5\nno=no\n");
  uint8_t out[8];
  auto get = [&](const char16_t* key, int32_t width) {
    memset(out, 0xAA, sizeof(out));
    return b->GetNumber(u"", key, width, out);
  };
  uint16_t v16;
  EXPECT_TRUE(get(u"big", 16));
  memcpy(&v16, out, 2);
  EXPECT_EQ(v16, 4464);
  EXPECT_EQ(out[2], 0xAA);  // nothing past the width
  EXPECT_FALSE(get(u"big", 12));
  EXPECT_EQ(out[0], 0xAA);
  EXPECT_TRUE(get(u"neg", -8));
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0xAA);
  uint32_t v32;
  EXPECT_TRUE(get(u"wide", 32));
  memcpy(&v32, out, 4);
  EXPECT_EQ(v32, 0xFFFFFFFFu);
  int64_t v64;
  EXPECT_TRUE(get(u"neg", -64));
  memcpy(&v64, out, 8);
  EXPECT_EQ(v64, -1);
  EXPECT_TRUE(get(u"five", 1));
  EXPECT_EQ(out[0], 1);
  EXPECT_TRUE(get(u"no", 1));
  EXPECT_EQ(out[0], 0);
  EXPECT_FALSE(get(u"absent", 32));
  EXPECT_TRUE(b->GetNumber(nullptr, u"five", 12, nullptr));  // null out: existence only
}

TEST(CfgBall, Edits) {
  using Op = std::function<bool(CfgBall*)>;
  struct Row {
    const char* what;
    Text before;
    Op op;
    bool result;
    Text after;
  };
  auto set = [](const char16_t* s, const char16_t* k, const char16_t* v) {
    return [=](CfgBall* b) { return b->SetString(s, k, v); };
  };
  auto num = [](const char16_t* k, int32_t w, int64_t v) {
    return [=](CfgBall* b) { return b->SetNumber(u"", k, w, v); };
  };
  auto del = [](const char16_t* s, const char16_t* k) { return [=](CfgBall* b) { return b->DeleteKey(s, k); }; };
  const Row rows[] = {
      {"new section in empty store", u"", set(u"s", u"k", u"v"), true, u"\r\n[s]\r\nk=v\r\n"},
      {"unnamed section of empty store", u"", set(u"", u"k", u"v"), true, u"k=v\r\n"},
      {"null names are the unnamed section", u"", set(nullptr, u"k", nullptr), true, u"k\r\n"},
      {"replace keeps the caller's key", u"k=1\n", set(u"", u"K", u"2"), true, u"K=2\r\n"},
      {"leading blank is quoted", u"", set(u"", u"k", u" padded "), true, u"k=\" padded \"\r\n"},
      {"quote is quoted", u"", set(u"", u"k", u"\"q\""), true, u"k=\"\"q\"\"\r\n"},
      {"inner blanks are not quoted", u"", set(u"", u"k", u"a b"), true, u"k=a b\r\n"},
      {"empty value writes the key alone", u"k=1\n", set(u"", u"k", u""), true, u"k\r\n"},
      {"key is trimmed", u"", set(u"", u"  k \t", u"v"), true, u"k=v\r\n"},
      {"new key before blank lines", u"[a]\nx=1\n\n\n[b]\ny=2\n", set(u"a", u"k", u"v"), true,
       u"[a]\nx=1\nk=v\r\n\n\n[b]\ny=2\n"},
      {"last line without break", u"[a]\r\nx=1", set(u"A", u"k", u"v"), true, u"[a]\r\nx=1\r\nk=v\r\n"},
      {"unnamed section before a header", u"x=1\n[a]\ny=2\n", set(u"", u"k", u"v"), true,
       u"x=1\nk=v\r\n[a]\ny=2\n"},
      {"blank unnamed section", u"\n\n[a]\n", set(u"", u"k", u"v"), true, u"k=v\r\n\n\n[a]\n"},
      {"trailing blanks stay after a new key", u"[a]\nx=1\n  \n", set(u"a", u"k", u"v"), true,
       u"[a]\nx=1\nk=v\r\n  \n"},
      {"number over yes", u"k=yes\n", num(u"k", 32, 5), true, u"k=5\r\n"},
      {"zero over yes", u"k=yes\n", num(u"k", 32, 0), true, u"k=no\r\n"},
      {"number over hex", u"k = 0x10\n", num(u"k", 32, 255), true, u"k=0xFF\r\n"},
      {"number over 1Fh", u"k=1Fh\n", num(u"k", 32, 16), true, u"k=0x10\r\n"},
      {"boolean width over On", u"k=On\n", num(u"k", 1, 42), true, u"k=on\r\n"},
      {"signed width", u"", num(u"k", -32, -5), true, u"k=-5\r\n"},
      {"unsigned width prints unsigned", u"", num(u"k", 32, -5), true, u"k=18446744073709551611\r\n"},
      {"boolean width", u"", num(u"k", -1, 7), true, u"k=1\r\n"},
      {"old sign is dropped", u"k=-3\n", num(u"k", 32, 3), true, u"k=3\r\n"},
      {"delete a last line without break", u"a=1\nk=2", del(nullptr, u"K"), true, u"a=1\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Ball b = MakeBall(row.before);
    EXPECT_EQ(row.op(b.get()), row.result);
    EXPECT_EQ(Show(TextOf(b.get())), Show(row.after));
  }

  // A quoted value reads back with its blanks.
  Ball b = MakeBall(u"");
  ASSERT_TRUE(b->SetString(u"", u"k", u" padded "));
  WCHAR buf[16];
  ASSERT_TRUE(b->GetString(u"", u"k", buf, 16));
  EXPECT_EQ(Text(buf), u" padded ");
  // Growing past the first buffer keeps every unit.
  Text big(5000, u'x');
  ASSERT_TRUE(b->SetString(u"s", u"big", big.c_str()));
  Text back(5001, 0);
  ASSERT_TRUE(b->GetString(u"s", u"big", back.data(), back.size()));
  EXPECT_EQ(Text(back.c_str()), big);
}

TEST(CfgBall, Sections) {
  struct Row {
    Text before;
    const char16_t* section;
    bool result;
    Text after;
  };
  const Row rows[] = {
      {u"x=1\n\n\n[a]\nk=1\n", u"A", true, u"x=1\n"},                 // blank lines go with a last section
      {u"[a]\nk=1\n\n[b]\nk=2\n", u"a", true, u"[b]\nk=2\n"},
      {u"x=1\n[a]\nk=1\n", u"", true, u"[a]\nk=1\n"},
      {u"x=1\n", u"", true, u""},
      {u"", u"", false, u""},
      {u"[a]\n[b]\n[a]\nk=1\n", u"a", true, u"[a]\n[b]\n"},            // only a last block at the end
      {u"[a]\n[b]\n[a]\n[c]\n", u"a", false, u"[a]\n[b]\n[a]\n[c]\n"},
      {u"[a]\n", nullptr, false, u"[a]\n"},
      {u"[a]\n", u"b", false, u"[a]\n"},
      {u"\r\n[a]\r\n", u"a", true, u"\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.before));
    Ball b = MakeBall(row.before);
    EXPECT_EQ(b->DeleteSection(row.section), row.result);
    EXPECT_EQ(Show(TextOf(b.get())), Show(row.after));
  }
}

TEST(CfgBall, Enumeration) {
  Ball b = MakeBall(u"x=1\n[a]\nk=1\nK=2\n[]\n[u\n[b] t\nj=1\n[A]\nm\n=z\n# c\n");
  CfgBallEnum* sections = b->EnumSections();
  ASSERT_NE(sections, nullptr);
  EXPECT_EQ(Drain(sections), (std::vector<Text>{u"a", u"", u"u", u"b", u"A"}));
  sections->Reset();
  EXPECT_EQ(Drain(sections).size(), 5u);
  sections->Release();

  CfgBallEnum* keys = b->EnumKeys(u"a");
  ASSERT_NE(keys, nullptr);
  b->Clear();  // the enumerator keeps its own copy
  EXPECT_EQ(Drain(keys), (std::vector<Text>{u"k", u"K", u"m"}));
  keys->Release();

  b = MakeBall(u"abcdef=1\ng=2\n[s]\nz=0\n");
  keys = b->EnumKeys(nullptr);
  WCHAR buf[3];
  EXPECT_TRUE(keys->Next(buf, 3));
  EXPECT_EQ(Text(buf), u"ab");  // cut, not offered again
  EXPECT_TRUE(keys->Next(nullptr, 0));
  EXPECT_FALSE(keys->Next(buf, 3));
  keys->Release();

  b = MakeBall(u"");
  keys = b->EnumKeys(u"none");
  ASSERT_NE(keys, nullptr);
  EXPECT_FALSE(keys->Next(buf, 3));
  keys->Release();
}

TEST(CfgBall, Utf8) {
  struct Row {
    std::vector<uint8_t> bytes;
    Text text;
  };
  const Row decode[] = {
      {{0x41, 0xC3, 0x41}, u"AA"},                       // cut-short lead byte dropped
      {{0xF0, 0x9F, 0x98, 0x80}, u"\U0001F600"},
      {{0xC3, 0xA9, 0xE2, 0x82, 0xAC}, u"é€"},
      {{0xC1, 0xBF, 0xC0, 0x80}, Text(u"\x7F\0", 2)},    // overlong forms decode
      {{0x80, 0x41, 0xF8, 0x42, 0xFF}, u"AB"},
      {{0xE2, 0x82, 0x41}, u"A"},
      {{0xE2, 0x82}, u""},
      {{0xED, 0xA0, 0x80}, Text(1, char16_t(0xD800))},
  };
  for (const Row& row : decode) {
    SCOPED_TRACE(Show(row.text));
    Ball b(CreateCfgBall());
    ASSERT_TRUE(b->SetTextUtf8(row.bytes.data(), row.bytes.size()));
    EXPECT_EQ(TextOf(b.get()), row.text);
  }

  const Row encode[] = {
      {{0xF0, 0x9F, 0x98, 0x80}, u"\U0001F600"},
      {{0x61, 0xC3, 0xA9, 0xE2, 0x82, 0xAC}, u"aé€"},
      {{0xED, 0xA0, 0x80, 0x41}, Text(u"\xD800" u"A")},                  // unpaired high
      {{0xED, 0xB0, 0x80, 0xED, 0xA0, 0x80}, Text(u"\xDC00\xD800")},     // reversed pair
      {{0x00, 0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80}, Text(u"\0\x7F\x80\x7FF\x800", 5)},
  };
  for (const Row& row : encode) {
    SCOPED_TRACE(Show(row.text));
    Ball b = MakeBall(row.text);
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
