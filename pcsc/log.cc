#include "pcsc/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// pcscd's, when the library runs inside pcscd (debuglog.h declares it the same way).
extern "C" void log_msg(const int priority, const char* fmt, ...) __attribute__((weak));

namespace tolvex::ifd {

namespace {

void Put(LogLevel level, const char* format, va_list args) {
  if (log_msg == nullptr) return;
  char text[1024];
  std::vsnprintf(text, sizeof(text), format, args);
  log_msg(level, "tolvex: %s", text);
}

}  // namespace

void Log(LogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Put(level, format, args);
  va_end(args);
}

namespace {

Verbosity VerbosityOf(std::string_view text) {
  if (text == "wire") return Verbosity::kWire;
  if (text == "info") return Verbosity::kInfo;
  return Verbosity::kErrors;
}

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Read as the library is loaded (pcscd loads it once, before its threads use it).
const Verbosity g_verbosity = VerbosityOf(Environment("TOLVEX_LOG"));
const std::string g_trace_file = Environment("TOLVEX_TRACE_FILE");

}  // namespace

Verbosity LogVerbosity() {
  return g_verbosity;
}

void Tell(Verbosity needed, const char* format, ...) {
  if (g_verbosity < needed) return;
  va_list args;
  va_start(args, format);
  Put(kLogError, format, args);
  va_end(args);
}

const std::string& TraceFile() {
  return g_trace_file;
}

}  // namespace tolvex::ifd
