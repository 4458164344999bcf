// Random edits on random configuration texts: every lookup afterwards agrees with a simple model
// (sections holding ordered key/value lists, names compared ignoring ASCII case), and an edit of
// one key changes at most that key's line, leaving every other byte where it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "vm/cfg_text.h"
#include "vm_test_util.h"

using namespace vmtest;

namespace {

using Text = std::u16string;

struct Model {
  using Keys = std::vector<std::pair<Text, Text>>;
  struct Section {
    Text name;
    Keys keys;
  };
  std::vector<Section> sections;  // sections[0] is the unnamed one

  static bool Same(const Text& a, const Text& b) {
    auto up = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char16_t x, char16_t y) { return up(x) == up(y); });
  }
  Section* Find(const Text& name) {
    auto it = std::find_if(sections.begin(), sections.end(), [&](const Section& s) { return Same(s.name, name); });
    return it == sections.end() ? nullptr : &*it;
  }
  // The first line of the key (duplicates too: the first counts), or keys.end().
  static Keys::iterator KeyIn(Section* s, const Text& key) {
    return std::find_if(s->keys.begin(), s->keys.end(), [&](const auto& kv) { return Same(kv.first, key); });
  }
  const Text* Lookup(const Text& section, const Text& key) {
    Section* s = Find(section);
    if (!s) return nullptr;
    auto it = KeyIn(s, key);
    return it == s->keys.end() ? nullptr : &it->second;
  }
  void Set(const Text& section, const Text& key, const Text& value) {
    Section* s = Find(section);
    if (!s) s = &sections.emplace_back(Section{section, {}});
    auto it = KeyIn(s, key);
    if (it == s->keys.end()) s->keys.push_back({key, value});
    else *it = {key, value};
  }
  bool Delete(const Text& section, const Text& key) {
    Section* s = Find(section);
    if (!s || KeyIn(s, key) == s->keys.end()) return false;
    s->keys.erase(KeyIn(s, key));
    return true;
  }
};

const Text kSections[] = {u"", u"alpha", u"Beta", u"gamma"};
const Text kKeys[] = {u"k1", u"K2", u"key three", u"x"};
const Text kBlanks[] = {u"", u"  ", u"\t"};
const Text kValues[] = {u"v", u"two words", u" lead", u"trail ", u"\"q\"", u"", u"x;y#z", u"0x10", u"yes", u"-7"};

Text Pick(std::mt19937& rng, const Text* list, size_t n) { return list[rng() % n]; }

// The name with the case of every letter swapped half of the time.
Text SomeCase(std::mt19937& rng, Text name) {
  if (rng() % 2)
    for (char16_t& c : name)
      if ((c | 32) >= u'a' && (c | 32) <= u'z') c ^= 32;
  return name;
}

// A text with unique sections, comments, blank lines, mixed line ends and spacing.
Text RandomText(std::mt19937& rng, Model* model) {
  model->sections = {{u"", {}}};
  Text text;
  auto eol = [&] { return (rng() % 2) ? Text(u"\r\n") : Text(u"\n"); };
  auto blank = [&] { return Pick(rng, kBlanks, 3); };
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
      const uint32_t kind = rng() % 4;
      if (kind == 0) {
        text += u"# comment " + Text(1, char16_t('a' + rng() % 26)) + u" = x" + eol();
      } else if (kind == 1) {
        text += blank() + eol();
      } else {
        Text key = Pick(rng, kKeys, 4), value = u"val" + Text(1, char16_t('0' + rng() % 10));
        text += blank() + key + blank() + u"=" + blank() + value + blank() + eol();
        model->sections.back().keys.push_back({key, value});
      }
    }
  }
  if (!text.empty() && rng() % 3 == 0) text.pop_back();  // sometimes no final line feed
  return text;
}

// The raw lines of a text (each with its line feed) that are not lines of `key`.
std::vector<Text> OtherLines(const Text& text, const Text& key) {
  std::vector<Text> lines;
  for (size_t start = 0, end; start < text.size(); start = end) {
    end = std::min(text.find(u'\n', start), text.size() - 1) + 1;
    const Text line = text.substr(start, end - start);
    size_t a = 0, b = line.size();
    while (a < b && CfgIsSpace(line[a])) ++a;
    while (b > a && CfgIsSpace(line[b - 1])) --b;
    size_t e = std::min(line.find(u'=', a), b);
    while (e > a && CfgIsSpace(line[e - 1])) --e;
    if (a == b || line[a] == u'#' || line[a] == u';' || line[a] == u'[' || !Model::Same(line.substr(a, e - a), key))
      lines.push_back(line);
  }
  return lines;
}

// Every line other than the edited key's lines is unchanged byte for byte; the only additions
// allowed are a line break completing a last line that had none, and a new section header.
void ExpectOnlyKeyLinesChanged(const Text& old, const Text& now, const Text& key, const Text& section) {
  const std::vector<Text> a = OtherLines(old, key), b = OtherLines(now, key);
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
    Ball ball = MakeBall(RandomText(rng, &model));
    CfgBall* b = ball.get();
    for (int step = 0; step < 25; ++step) {
      const Text section = SomeCase(rng, Pick(rng, kSections, 4)), key = SomeCase(rng, Pick(rng, kKeys, 4));
      const Text before = TextOf(b);
      const uint32_t op = rng() % 5;
      switch (op) {
        case 0:
        case 1: {
          Text value = Pick(rng, kValues, 10);
          ASSERT_TRUE(b->SetString(section.c_str(), key.c_str(), value.c_str()));
          model.Set(section, key, value);
          break;
        }
        case 2: {
          // A number round-trips; its text (in the old value's style, as cfg_ball_test checks)
          // is what later lookups must keep returning.
          int64_t value = static_cast<int64_t>(rng() % 3) - 1 + (rng() % 2 ? 1000 : 0), back = 0;
          ASSERT_TRUE(b->SetNumber(section.c_str(), key.c_str(), -64, value));
          ASSERT_TRUE(b->GetNumber(section.c_str(), key.c_str(), -64, &back));
          EXPECT_EQ(back, value);
          WCHAR written[kCfgNumberRoom + 1] = {0};
          b->GetString(section.c_str(), key.c_str(), written, kCfgNumberRoom + 1);
          model.Set(section, key, written);
          break;
        }
        case 3:
          EXPECT_EQ(b->DeleteKey(section.c_str(), key.c_str()), model.Delete(section, key));
          break;
        case 4: {
          if (section.empty() || rng() % 3) break;  // section deletions are rarer
          Model::Section* s = model.Find(section);
          EXPECT_EQ(b->DeleteSection(section.c_str()), s != nullptr);
          if (s) model.sections.erase(model.sections.begin() + (s - model.sections.data()));
          break;
        }
      }
      if (op != 4) ExpectOnlyKeyLinesChanged(before, TextOf(b), key, section);
      for (const Text& s : kSections)
        for (const Text& k : kKeys) {
          WCHAR buf[64] = {0};
          const Text* expect = model.Lookup(s, k);
          ASSERT_EQ(b->GetString(SomeCase(rng, s).c_str(), SomeCase(rng, k).c_str(), buf, 64), expect != nullptr)
              << "step " << step << " section " << s.size() << " key " << k.size();
          if (expect) {
            ASSERT_EQ(Text(buf), *expect);
          }
        }
    }
  }
}
