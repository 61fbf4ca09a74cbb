#pragma once
// The debug trace: time-stamped lines appended to pingdebug.txt beside the
// executable (or to the file KORVANE_TRACE names, or to standard error),
// written only when that file existed at start-up.
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/run_state.h"
#include "platform/platform.h"

namespace korvane {

inline constexpr const char* kTraceFileName = "pingdebug.txt";
// When set and not empty, names the trace file instead.
inline constexpr const char* kTraceVariable = "KORVANE_TRACE";
// This value of KORVANE_TRACE sends the trace to standard error.
inline constexpr const char* kTraceToStandardError = "-";
inline constexpr const char* kLineEnd = "\r\n";

// "YYYY-MM-DD HH:MM:SS"
std::string FormatTimeStamp(const LocalDateTime& t);

// A trace piece: literal text or a number written in plain decimal.
struct TracePiece {
  TracePiece(std::string_view text) : value(text) {}
  TracePiece(const std::string& text) : value(text) {}
  TracePiece(const char* text) : value(text) {}
  TracePiece(long long number) : value(std::to_string(number)) {}
  TracePiece(int number) : value(std::to_string(number)) {}
  std::string value;
};

// Chooses where the trace goes and opens it, once, at start: the file that
// KORVANE_TRACE names (standard error for "-"), else pingdebug.txt beside the
// executable. True when the trace is on: the file exists as a regular file,
// even one that cannot be written. Says on standard error what is wrong with a
// file that KORVANE_TRACE names, and that the lines of an unwritable one are lost.
bool OpenTrace(modKorvane& run);

// Appends one line: time stamp, then the pieces with nothing between them,
// control characters from outside escaped. The trace is diagnostics only: a
// line that cannot be written is lost and nothing else changes; the first
// such loss of a run is reported.
void TraceLine(modKorvane& run, std::initializer_list<TracePiece> pieces);

// The start-up pair: an empty line, then " Start", in one write.
void TraceStartLines(modKorvane& run);

}  // namespace korvane
