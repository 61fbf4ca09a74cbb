#pragma once
// The program's two texts for people: what it prints on request (standard
// output) and the reason for a set-up problem (standard error). Each write is
// best effort: a closed, full or broken stream, or none at all, changes
// nothing else. On Windows the standard handles are used only when the
// caller gave them (a redirect or a pipe); no console is ever made.
#include <string>
#include <string_view>

#include "text/text.h"

namespace korvane {

// The one form of a reason on standard error, on every system. The reason may
// hold texts from outside (paths, host texts, the system's messages): their
// control characters are escaped, so that no reason can forge a line of its own.
inline std::string ProblemLine(std::string_view reason) {
  return "korvane: " + EscapeControlCharacters(reason) + "\n";
}

// Writes the text to standard output; "\n" ends a line.
void WriteStandardOutput(std::string_view text);
// Writes one line "korvane: " + reason to standard error.
void ReportToStandardError(std::string_view reason);

}  // namespace korvane
