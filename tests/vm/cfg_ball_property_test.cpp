// Random edits on random configuration texts: every lookup afterwards agrees with a simple model
// (sections holding ordered key/value lists), and an edit of one key changes at most that key's
// line, leaving every other byte where it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "vm/cfg_ball.h"
#include "vm/cfg_text.h"

namespace {

using Text = std::u16string;

struct Model {
  struct Section {
    Text name;
    std::vector<std::pair<Text, Text>> keys;
  };
  std::vector<Section> sections;  // sections[0] is the unnamed one

  static bool Same(const Text& a, const Text& b) { return CfgNameEquals(a.data(), a.size(), b.data(), b.size()); }
  Section* Find(const Text& name) {
    for (Section& s : sections)
      if (Same(s.name, name)) return &s;
    return nullptr;
  }
  const Text* Lookup(const Text& section, const Text& key) {
    Section* s = Find(section);
    if (!s) return nullptr;
    for (auto& kv : s->keys)
      if (Same(kv.first, key)) return &kv.second;
    return nullptr;
  }
  void Set(const Text& section, const Text& key, const Text& value) {
    Section* s = Find(section);
    if (!s) {
      sections.push_back({section, {}});
      s = &sections.back();
    }
    for (auto& kv : s->keys)
      if (Same(kv.first, key)) {
        kv = {key, value};
        return;
      }
    s->keys.push_back({key, value});
  }
  bool Delete(const Text& section, const Text& key) {
    Section* s = Find(section);
    if (!s) return false;
    for (auto it = s->keys.begin(); it != s->keys.end(); ++it)
      if (Same(it->first, key)) {
        s->keys.erase(it);
        return true;
      }
    return false;
  }
};

const Text kSections[] = {u"", u"alpha", u"Beta", u"gamma"};
const Text kKeys[] = {u"k1", u"K2", u"key three", u"x"};
const Text kValues[] = {u"v", u"two words", u" lead", u"trail ", u"\"q\"", u"", u"x;y#z", u"0x10", u"yes", u"-7"};

Text Pick(std::mt19937& rng, const Text* list, size_t n) { return list[rng() % n]; }

// A text with unique sections, comments, blank lines, mixed line ends and spacing.
Text RandomText(std::mt19937& rng, Model* model) {
  model->sections = {{u"", {}}};
  Text text;
  auto eol = [&] { return (rng() % 2) ? Text(u"\r\n") : Text(u"\n"); };
  std::vector<Text> names = {u"alpha", u"Beta", u"gamma"};
  std::shuffle(names.begin(), names.end(), rng);
  size_t count = rng() % 4;
  for (size_t s = 0; s <= count; ++s) {
    if (s > 0) {
      text += u"[" + names[s - 1] + u"]" + (rng() % 3 == 0 ? Text(u" ; note") : Text()) + eol();
      model->sections.push_back({names[s - 1], {}});
    }
    size_t lines = rng() % 5;
    for (size_t i = 0; i < lines; ++i) {
      switch (rng() % 4) {
        case 0:
          text += u"# comment " + Text(1, char16_t('a' + rng() % 26)) + u" = x" + eol();
          break;
        case 1:
          text += eol();
          break;
        default: {
          Text key = Pick(rng, kKeys, 4);
          Text value = u"val" + Text(1, char16_t('0' + rng() % 10));
          text += (rng() % 2 ? Text(u"  ") : Text()) + key + (rng() % 2 ? Text(u" = ") : Text(u"=")) + value + eol();
          model->sections.back().keys.push_back({key, value});  // duplicates too: the first counts
        }
      }
    }
  }
  if (!text.empty() && rng() % 3 == 0) text.pop_back();  // sometimes no final line feed
  return text;
}

Text TextOf(CfgBall* b) {
  Text t(b->GetText(nullptr, 0), u'\0');
  b->GetText(t.data(), t.size());
  return t;
}

// The raw lines of a text, each with its line feed.
std::vector<Text> RawLines(const Text& text) {
  std::vector<Text> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find(u'\n', start);
    size_t end = lf == Text::npos ? text.size() : lf + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// Whether a raw line is a key line of `key`.
bool IsLineOfKey(const Text& line, const Text& key) {
  size_t a = 0, b = line.size();
  while (a < b && CfgIsSpace(line[a])) ++a;
  while (b > a && CfgIsSpace(line[b - 1])) --b;
  if (a == b || line[a] == u'#' || line[a] == u';' || line[a] == u'[') return false;
  size_t eq = line.find(u'=', a);
  size_t e = eq == Text::npos || eq > b ? b : eq;
  while (e > a && CfgIsSpace(line[e - 1])) --e;
  return Model::Same(line.substr(a, e - a), key);
}

// Every line other than the edited key's lines is unchanged byte for byte; the only additions
// allowed are a line break completing a last line that had none, and a new section header.
void ExpectOnlyKeyLinesChanged(const Text& old, const Text& now, const Text& key, const Text& section) {
  std::vector<Text> a, b;
  for (Text& l : RawLines(old))
    if (!IsLineOfKey(l, key)) a.push_back(l);
  for (Text& l : RawLines(now))
    if (!IsLineOfKey(l, key)) b.push_back(l);
  ASSERT_GE(b.size(), a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    bool completed = i + 1 == a.size() && a[i].back() != u'\n' && b[i] == a[i] + u"\r\n";
    ASSERT_TRUE(a[i] == b[i] || completed) << "line " << i << " changed";
  }
  std::vector<Text> tail(b.begin() + a.size(), b.end());
  if (!tail.empty() && tail.front() == u"\r\n") tail.erase(tail.begin());
  if (!tail.empty()) {
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(tail[0], u"[" + section + u"]\r\n");
  }
}

}  // namespace

TEST(CfgBallProperty, RandomEditsAgreeWithModel) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Model model;
    Text text = RandomText(rng, &model);
    CfgBall* b = CreateCfgBall();
    ASSERT_TRUE(b->SetText(text.data(), text.size()));
    for (int step = 0; step < 25; ++step) {
      Text section = Pick(rng, kSections, 4);
      Text key = Pick(rng, kKeys, 4);
      Text before = TextOf(b);
      switch (rng() % 5) {
        case 0:
        case 1: {
          Text value = Pick(rng, kValues, 10);
          ASSERT_TRUE(b->SetString(section.c_str(), key.c_str(), value.c_str()));
          model.Set(section, key, value);
          ExpectOnlyKeyLinesChanged(before, TextOf(b), key, section);
          break;
        }
        case 2: {
          int64_t value = static_cast<int64_t>(rng() % 3) - 1 + (rng() % 2 ? 1000 : 0);
          const Text* old = model.Lookup(section, key);
          uint32_t kind = 0;
          if (old) CfgParseNumber(old->data(), old->size(), &kind);
          WCHAR buf[kCfgNumberRoom];
          uint64_t n = CfgFormatNumber(static_cast<uint64_t>(value), (kind & ~uint32_t(CfgSigned)) | CfgSigned, buf);
          ASSERT_TRUE(b->SetNumber(section.c_str(), key.c_str(), -64, value));
          model.Set(section, key, Text(buf, n));
          ExpectOnlyKeyLinesChanged(before, TextOf(b), key, section);
          int64_t back = 0;
          ASSERT_TRUE(b->GetNumber(section.c_str(), key.c_str(), -64, &back));
          EXPECT_EQ(back, value);
          break;
        }
        case 3:
          EXPECT_EQ(b->DeleteKey(section.c_str(), key.c_str()), model.Delete(section, key));
          ExpectOnlyKeyLinesChanged(before, TextOf(b), key, section);
          break;
        case 4:
          if (section.empty() || rng() % 3) break;  // section deletions are rarer
          if (Model::Section* s = model.Find(section)) {
            EXPECT_TRUE(b->DeleteSection(section.c_str()));
            model.sections.erase(model.sections.begin() + (s - model.sections.data()));
          } else {
            EXPECT_FALSE(b->DeleteSection(section.c_str()));
          }
          break;
      }
      for (const Text& s : kSections)
        for (const Text& k : kKeys) {
          WCHAR buf[64] = {0};
          const Text* expect = model.Lookup(s, k);
          ASSERT_EQ(b->GetString(s.c_str(), k.c_str(), buf, 64), expect != nullptr)
              << "step " << step << " section " << s.size() << " key " << k.size();
          if (expect) {
            ASSERT_EQ(Text(buf), *expect);
          }
        }
    }
    b->Release();
  }
}
