#include "vexlog/vexlog_sink.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/time.h>
#include <vector>

#include "platform/sync.h"

namespace vexlog {
namespace {

constexpr size_t kRecentLines = 256;
constexpr size_t kMaxChannels = 4096;
constexpr size_t kMaxNameBytes = 256;

struct Channel {
  std::string name;
  std::deque<std::string> recent;
};

struct Session {
  bool open = false;
  intptr_t defaultChannel = 0;
};

struct State {
  std::mutex lock;
  std::vector<std::unique_ptr<Channel>> channels;
  std::vector<Session> sessions;
  bool configured = false;
  bool all = false;
  std::vector<std::string> enabled;
  std::string filePath;
  FILE* file = nullptr;  // null: standard error
};

// The state lives from load to unload; calls arriving after its teardown do nothing.
struct StateHolder {
  State* state = new State;
  ~StateHolder() {
    State* old = state;
    state = nullptr;
    if (old && old->file) fclose(old->file);
    delete old;
  }
} g_Holder;

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// Callers hold the lock.
void ApplyConfiguration(State& s, const char* channels, const char* file) {
  s.configured = true;
  s.all = false;
  s.enabled.clear();
  std::string list = channels ? channels : "";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    while (!name.empty() && name.front() == ' ') name.erase(name.begin());
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (SameName(name, "all")) s.all = true;
    else if (!name.empty()) s.enabled.push_back(name);
    start = end + 1;
  }
  std::string path = file ? file : "";
  if (path != s.filePath || (!s.file && !path.empty())) {
    if (s.file) fclose(s.file);
    s.file = path.empty() ? nullptr : fopen(path.c_str(), "a");
    s.filePath = path;
  }
}

void ConfigureFromEnvironment(State& s) {
  if (!s.configured) ApplyConfiguration(s, getenv("VEXLOG"), getenv("VEXLOG_FILE"));
}

intptr_t ChannelLocked(State& s, const std::string& name) {
  for (size_t i = 0; i < s.channels.size(); ++i)
    if (s.channels[i]->name == name) return static_cast<intptr_t>(i + 1);
  if (s.channels.size() >= kMaxChannels) return 0;
  auto channel = std::make_unique<Channel>();
  channel->name = name;
  s.channels.push_back(std::move(channel));
  return static_cast<intptr_t>(s.channels.size());
}

Channel* Resolve(State& s, intptr_t session, intptr_t channel) {
  if (channel == 0 || channel == -1) {
    channel = 0;
    if (session > 0 && static_cast<size_t>(session) <= s.sessions.size())
      channel = s.sessions[session - 1].defaultChannel;
    if (channel == 0) channel = ChannelLocked(s, "default");
  }
  if (channel <= 0 || static_cast<size_t>(channel) > s.channels.size()) return nullptr;
  return s.channels[channel - 1].get();
}

bool Enabled(const State& s, const std::string& name) {
  if (s.all) return true;
  for (const std::string& e : s.enabled)
    if (SameName(e, name)) return true;
  return false;
}

std::string Stamp() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
  return buf;
}

}  // namespace

intptr_t ChannelByName(const std::string& name) {
  if (!g_Holder.state) return 0;
  State& s = *g_Holder.state;
  std::lock_guard<std::mutex> guard(s.lock);
  return ChannelLocked(s, name.substr(0, kMaxNameBytes));
}

intptr_t OpenSession() {
  if (!g_Holder.state) return 0;
  State& s = *g_Holder.state;
  std::lock_guard<std::mutex> guard(s.lock);
  ConfigureFromEnvironment(s);
  for (size_t i = 0; i < s.sessions.size(); ++i) {
    if (s.sessions[i].open) continue;
    s.sessions[i] = Session{true, 0};
    return static_cast<intptr_t>(i + 1);
  }
  s.sessions.push_back(Session{true, 0});
  return static_cast<intptr_t>(s.sessions.size());
}

void CloseSession(intptr_t session) {
  if (!g_Holder.state) return;
  State& s = *g_Holder.state;
  std::lock_guard<std::mutex> guard(s.lock);
  if (session > 0 && static_cast<size_t>(session) <= s.sessions.size())
    s.sessions[session - 1] = Session{false, 0};
  if (s.file) fflush(s.file);
}

void SetSessionDefault(intptr_t session, intptr_t channel) {
  if (!g_Holder.state) return;
  State& s = *g_Holder.state;
  std::lock_guard<std::mutex> guard(s.lock);
  if (session <= 0 || static_cast<size_t>(session) > s.sessions.size()) return;
  if (channel == -1 || channel < 0 || static_cast<size_t>(channel) > s.channels.size()) channel = 0;
  s.sessions[session - 1].defaultChannel = channel;
}

void Emit(intptr_t session, intptr_t channel, const std::string& text) {
  uint32_t thread = GetCurrentThreadId();
  if (!g_Holder.state) return;
  State& s = *g_Holder.state;
  std::lock_guard<std::mutex> guard(s.lock);
  ConfigureFromEnvironment(s);
  Channel* target = Resolve(s, session, channel);
  if (!target) return;
  bool write = Enabled(s, target->name);
  std::string prefix;
  if (write) {
    char id[16];
    snprintf(id, sizeof id, "%u", thread);
    prefix = Stamp() + " " + id + " " + target->name + ": ";
  }
  FILE* out = s.file ? s.file : stderr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (write) {
      std::string out_line = prefix + line + "\n";
      fwrite(out_line.data(), 1, out_line.size(), out);
    }
    target->recent.push_back(std::move(line));
    if (target->recent.size() > kRecentLines) target->recent.pop_front();
    start = end + 1;
  }
  if (write) fflush(out);
}

bool Written(intptr_t session, intptr_t channel) {
  if (!g_Holder.state) return false;
  State& s = *g_Holder.state;
  std::lock_guard<std::mutex> guard(s.lock);
  ConfigureFromEnvironment(s);
  const Channel* target = Resolve(s, session, channel);
  return target != nullptr && Enabled(s, target->name);
}

size_t RecentLines(const char* channel, char* buffer, size_t size) {
  if (!g_Holder.state) {
    if (buffer && size > 0) buffer[0] = '\0';
    return 1;
  }
  State& s = *g_Holder.state;
  std::lock_guard<std::mutex> guard(s.lock);
  std::string joined;
  if (channel) {
    for (const auto& c : s.channels) {
      if (c->name != channel) continue;
      bool first = true;
      for (const std::string& line : c->recent) {
        if (!first) joined += '\n';
        joined += line;
        first = false;
      }
    }
  }
  size_t need = joined.size() + 1;
  if (buffer && size > 0) {
    size_t n = need <= size ? joined.size() : 0;
    memcpy(buffer, joined.data(), n);
    buffer[n] = '\0';
  }
  return need;
}

void ClearRecent() {
  if (!g_Holder.state) return;
  State& s = *g_Holder.state;
  std::lock_guard<std::mutex> guard(s.lock);
  for (auto& c : s.channels) c->recent.clear();
}

void Configure(const char* channels, const char* file) {
  if (!g_Holder.state) return;
  State& s = *g_Holder.state;
  std::lock_guard<std::mutex> guard(s.lock);
  ApplyConfiguration(s, channels, file);
}

}  // namespace vexlog
