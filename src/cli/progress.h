// Progress of a long transfer on standard error: bytes done, rate and time left. Shown only when
// standard error is a terminal and the transfer is large; silent otherwise.
#pragma once
#include <chrono>
#include <cstdint>

class Progress {
 public:
  // totalBytes 0: not known in advance (a pipe). Nothing is drawn in the first second.
  Progress(uint64_t totalBytes, const char* verb);
  ~Progress() { Finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(uint64_t doneBytes);
  // Clears the line and, when shown, leaves a summary.
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(uint64_t doneBytes, bool final);

  bool m_Active;
  bool m_Drawn = false;
  uint64_t m_Total;
  uint64_t m_Done = 0;
  const char* m_Verb;
  Clock::time_point m_Start;
  Clock::time_point m_LastDraw;
};
