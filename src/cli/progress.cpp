#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/text_output.h"

namespace {

constexpr uint64_t kShowFrom = 64ull << 20;  // smaller transfers finish before a meter helps
constexpr auto kFirstDraw = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(250);

std::string Duration(double seconds) {
  if (seconds < 0 || seconds > 359999) return "--:--";
  unsigned s = static_cast<unsigned>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    snprintf(text, sizeof text, "%u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(text, sizeof text, "%u:%02u", s / 60, s % 60);
  return text;
}

}  // namespace

Progress::Progress(uint64_t totalBytes, const char* verb)
    : m_Active((totalBytes == 0 || totalBytes >= kShowFrom) && isatty(STDERR_FILENO)),
      m_Total(totalBytes),
      m_Verb(verb),
      m_Start(Clock::now()),
      m_LastDraw(m_Start) {}

void Progress::Update(uint64_t doneBytes) {
  m_Done = doneBytes;
  if (!m_Active) return;
  Clock::time_point now = Clock::now();
  if (now - m_Start < kFirstDraw || now - m_LastDraw < kRedraw) return;
  m_LastDraw = now;
  m_Drawn = true;
  Draw(doneBytes, false);
}

void Progress::Draw(uint64_t doneBytes, bool final) {
  double elapsed = std::chrono::duration<double>(Clock::now() - m_Start).count();
  double rate = elapsed > 0 ? static_cast<double>(doneBytes) / elapsed : 0;
  std::string rateText = HumanSize(static_cast<uint64_t>(rate)) + "/s";
  if (final) {
    fprintf(stderr, "\r\033[K%s %s in %s (%s)\n", m_Verb, HumanSize(doneBytes).c_str(), Duration(elapsed).c_str(),
            rateText.c_str());
    return;
  }
  if (m_Total == 0) {  // the size of a piped input is not known
    fprintf(stderr, "\r\033[K%s %s  %s", m_Verb, HumanSize(doneBytes).c_str(), rateText.c_str());
    return;
  }
  double left = rate > 0 ? static_cast<double>(m_Total - doneBytes) / rate : -1;
  fprintf(stderr, "\r\033[K%s %s of %s (%u%%)  %s  %s left", m_Verb, HumanSize(doneBytes).c_str(),
          HumanSize(m_Total).c_str(), static_cast<unsigned>(doneBytes * 100 / m_Total), rateText.c_str(),
          Duration(left).c_str());
}

void Progress::Finish() {
  if (!m_Active) return;
  m_Active = false;
  if (m_Drawn) Draw(m_Done, true);
}
