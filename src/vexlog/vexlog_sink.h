// The trace library's inner state: channels, the remembered lines of each, and the output.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace vexlog {

// Channel ids are 1.. in order of first opening; 0 and -1 stand for the session's default.
intptr_t ChannelByName(const std::string& name);
// Sessions (one per Open) each have a default channel, "default" until set.
intptr_t OpenSession();
void CloseSession(intptr_t session);
void SetSessionDefault(intptr_t session, intptr_t channel);
// Records one formatted message (UTF-8; may hold several lines) and writes it when the channel
// is enabled.
void Emit(intptr_t session, intptr_t channel, const std::string& text);
// Whether Emit on the channel would write its lines out (not only remember them).
bool Written(intptr_t session, intptr_t channel);

size_t RecentLines(const char* channel, char* buffer, size_t size);
void ClearRecent();
void Configure(const char* channels, const char* file);

}  // namespace vexlog
