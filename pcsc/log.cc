#include "pcsc/log.h"

#include <cstdarg>
#include <cstdio>

// pcscd's, when the library runs inside pcscd (debuglog.h declares it the same way).
extern "C" void log_msg(const int priority, const char* fmt, ...) __attribute__((weak));

namespace tolvex::ifd {

void Log(LogLevel level, const char* format, ...) {
  if (log_msg == nullptr) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  log_msg(level, "tolvex: %s", text);
}

}  // namespace tolvex::ifd
