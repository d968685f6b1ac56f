// Messages for pcscd's log, through the log_msg pcscd exports to its drivers. The library
// refers to it weakly: loaded by a program without one, it logs nothing.
#pragma once

namespace tolvex::ifd {

enum LogLevel { kLogDebug = 0, kLogInfo = 1, kLogError = 2 };  // PCSC_LOG_DEBUG, INFO, ERROR

// printf-style; each line starts with "tolvex: ".
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tolvex::ifd
