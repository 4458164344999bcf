// One CfgBall shared by editors (each owning its own section), readers of a fixed section and
// enumerators: every lookup sees a whole value, enumerators see whole names, and the final text
// holds every editor's last values.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "vm/cfg_ball.h"

namespace {

std::u16string U(const std::string& s) { return std::u16string(s.begin(), s.end()); }

TEST(CfgBallStress, EditsLookupsAndEnumeratorsAtOnce) {
  CfgBall* ball = CreateCfgBall();
  ASSERT_NE(ball, nullptr);
  const std::u16string text = u"[fixed]\r\nname = \"steady value\"\r\ncount = 0x40\r\n";
  ASSERT_TRUE(ball->SetText(text.c_str(), text.size()));

  constexpr int kEditors = 3, kKeys = 8, kRounds = 150;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int e = 0; e < kEditors; ++e) {
    threads.emplace_back([&, e] {
      const std::u16string section = U("editor" + std::to_string(e));
      for (int r = 0; r < kRounds; ++r) {
        for (int k = 0; k < kKeys; ++k) {
          std::u16string key = U("key" + std::to_string(k));
          std::u16string value = U("v" + std::to_string(r * 100 + k) + (r % 2 ? " with blanks" : ""));
          if (!ball->SetString(section.c_str(), key.c_str(), value.c_str())) ++failures;
          if (k == 3 && r % 5 == 0 && !ball->DeleteKey(section.c_str(), key.c_str())) ++failures;
        }
        if (!ball->SetNumber(section.c_str(), u"round", 32, r)) ++failures;
      }
    });
  }
  for (int l = 0; l < 2; ++l) {
    threads.emplace_back([&] {
      WCHAR buf[64];
      while (!done) {
        if (!ball->GetString(u"fixed", u"name", buf, 64) || std::u16string(buf) != u"steady value") ++failures;
        uint32_t n = 0;
        if (!ball->GetNumber(u"fixed", u"count", 32, &n) || n != 0x40) ++failures;
        ball->GetValueLength(u"editor1", u"key2");
      }
    });
  }
  threads.emplace_back([&] {
    WCHAR name[64];
    while (!done) {
      for (CfgBallEnum* en : {ball->EnumSections(), ball->EnumKeys(u"editor0")}) {
        if (!en) { ++failures; continue; }
        while (en->Next(name, 64)) {
          if (name[0] == 0) ++failures;
        }
        en->Reset();
        en->Release();
      }
    }
  });
  for (int e = 0; e < kEditors; ++e) threads[e].join();
  done = true;
  for (size_t i = kEditors; i < threads.size(); ++i) threads[i].join();
  EXPECT_EQ(failures.load(), 0);

  WCHAR buf[64];
  for (int e = 0; e < kEditors; ++e) {
    const std::u16string section = U("editor" + std::to_string(e));
    for (int k = 0; k < kKeys; ++k) {
      std::u16string key = U("key" + std::to_string(k));
      ASSERT_TRUE(ball->GetString(section.c_str(), key.c_str(), buf, 64));
      EXPECT_EQ(std::u16string(buf), U("v" + std::to_string((kRounds - 1) * 100 + k) + " with blanks"));
    }
    uint32_t round = 0;
    ASSERT_TRUE(ball->GetNumber(section.c_str(), u"round", 32, &round));
    EXPECT_EQ(round, static_cast<uint32_t>(kRounds - 1));
  }
  ball->Release();
}

}  // namespace
