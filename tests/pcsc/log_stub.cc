// Stand-ins for the log_msg and log_xxd that pcscd exports to its drivers.
#include "log_stub.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex mutex;
std::vector<std::string>& Lines() {
  static std::vector<std::string> lines;
  return lines;
}

}  // namespace

extern "C" void log_msg(const int priority, const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  std::lock_guard lock(mutex);
  Lines().push_back(std::to_string(priority) + " " + text);
}

extern "C" void log_xxd(const int priority, const char* msg, const unsigned char* buffer,
                        const int size) {
  std::string text = std::to_string(priority) + " " + msg;
  for (int i = 0; i < size; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof(hex), " %02X", buffer[i]);
    text += hex;
  }
  std::lock_guard lock(mutex);
  Lines().push_back(text);
}

namespace tolvex::ifd::testing {

std::vector<std::string> LoggedLines() {
  std::lock_guard lock(mutex);
  return Lines();
}

void ClearLog() {
  std::lock_guard lock(mutex);
  Lines().clear();
}

bool Logged(const std::string& text) {
  for (const std::string& line : LoggedLines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace tolvex::ifd::testing
