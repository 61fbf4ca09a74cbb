#pragma once
// The Windows command line as the checker reads it: the process command line
// with the program's name and the blanks and tabs that follow it removed.
#include <string>

namespace korvane {

// The first token is the program's name, read as the C runtime reads it:
// double quotes turn quoting on and off, and the name ends at the first blank
// or tab outside quotes (or with the line). Every blank or tab right after it
// is dropped too; the rest is kept as it is.
std::u16string StripProgramName(const std::u16string& commandLine);

}  // namespace korvane
