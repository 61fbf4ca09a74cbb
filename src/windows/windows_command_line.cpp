#include "windows/windows_command_line.h"

namespace korvane {

std::u16string StripProgramName(const std::u16string& commandLine) {
  const auto isSeparator = [](char16_t c) { return c == u' ' || c == u'\t'; };
  // The name as the C runtime reads the program's own name: each double quote
  // turns quoting on or off, and only a blank or tab outside quotes ends it,
  // so C:\"Program Files"\korvane\korvane.exe is one name.
  bool quoted = false;
  std::size_t i = 0;
  for (; i < commandLine.size(); ++i) {
    if (commandLine[i] == u'"')
      quoted = !quoted;
    else if (!quoted && isSeparator(commandLine[i]))
      break;
  }
  // Every blank and tab after the name, as Windows' own argument parsing
  // does: a doubled blank must not leave the threshold field empty.
  while (i < commandLine.size() && isSeparator(commandLine[i]))
    ++i;
  return commandLine.substr(i);
}

}  // namespace korvane
