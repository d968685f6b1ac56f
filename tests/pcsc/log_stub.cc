// A stand-in for the log_msg that pcscd exports to its drivers: every line kept, for Logged.
#include "log_stub.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex mutex;
// Never destroyed: a channel's thread may still log while the program exits.
std::string& lines = *new std::string;

}  // namespace

extern "C" void log_msg(const int priority, const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  std::lock_guard lock(mutex);
  lines += std::to_string(priority) + " " + text + "\n";
}

bool tolvex::ifd::testing::Logged(const std::string& text) {
  std::lock_guard lock(mutex);
  return lines.find(text) != std::string::npos;
}
