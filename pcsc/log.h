// Messages for pcscd's log, through the log_msg pcscd exports to its drivers. The library
// refers to it weakly: loaded by a program without one, it logs nothing.
#pragma once

#include <string>

namespace tolvex::ifd {

enum LogLevel { kLogDebug = 0, kLogInfo = 1, kLogError = 2 };  // PCSC_LOG_DEBUG, INFO, ERROR

// printf-style; each line starts with "tolvex: ".
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// What the driver logs, from TOLVEX_LOG as it was when the library was loaded: "error" (the
// default: failures, and the reader going and coming back), "info" (also each reader's start
// and stop, card events and the protocol chosen, at pcscd's info level) or "wire" (also every
// frame on the line, decoded as tolvex --trace shows it, with its time). An unknown value is
// "error".
enum class Verbosity { kErrors = 0, kInfo = 1, kWire = 2 };
Verbosity LogVerbosity();
// A line the user asked for with TOLVEX_LOG (`needed` or more): given at the priority pcscd
// prints by default (it drops info and debug lines unless started with --info or --debug), so
// that a TOLVEX_LOG set in pcscd's unit is all it takes.
void Tell(Verbosity needed, const char* format, ...) __attribute__((format(printf, 2, 3)));
// TOLVEX_TRACE_FILE as it was when the library was loaded: a file to which every frame on the
// line is also written as a JSON line (tolvex --trace --json's format); empty for none.
const std::string& TraceFile();

}  // namespace tolvex::ifd
