#include "platform/windows_command_line.h"

namespace korvane {

std::u16string StripProgramName(const std::u16string& commandLine) {
  const auto isSeparator = [](char16_t c) { return c == u' ' || c == u'\t'; };
  std::size_t i = 0;
  if (!commandLine.empty() && commandLine[0] == u'"') {
    const std::size_t closing = commandLine.find(u'"', 1);
    i = closing == std::u16string::npos ? commandLine.size() : closing + 1;
  } else {
    while (i < commandLine.size() && !isSeparator(commandLine[i]))
      ++i;
  }
  // Every blank and tab after the name, as Windows' own argument parsing
  // does: a doubled blank must not leave the threshold field empty.
  while (i < commandLine.size() && isSeparator(commandLine[i]))
    ++i;
  return commandLine.substr(i);
}

}  // namespace korvane
