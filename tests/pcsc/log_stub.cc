// A stand-in for the log_msg that pcscd exports to its drivers: its lines kept, for Logged.
#include "log_stub.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>

namespace {

std::mutex mutex;
// Never destroyed: a channel's thread may still log while the program exits.
std::deque<std::string>& lines = *new std::deque<std::string>;
std::size_t kept = SIZE_MAX;

}  // namespace

extern "C" void log_msg(const int priority, const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  std::lock_guard lock(mutex);
  lines.push_back(std::to_string(priority) + " " + text);
  while (lines.size() > kept) lines.pop_front();
}

bool tolvex::ifd::testing::Logged(const std::string& text) {
  std::lock_guard lock(mutex);
  for (const std::string& line : lines)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

std::vector<std::string> tolvex::ifd::testing::LoggedLines() {
  std::lock_guard lock(mutex);
  return {lines.begin(), lines.end()};
}

void tolvex::ifd::testing::KeepLastLines(std::size_t count) {
  std::lock_guard lock(mutex);
  kept = count;
}
