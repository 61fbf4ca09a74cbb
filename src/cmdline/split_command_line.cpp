#include "cmdline/command_line.h"
#include "core/runtime_error.h"
#include "text/text.h"

namespace korvane {

std::optional<std::string>& Args::operator()(std::int16_t field) {
  if (field < 1 || field > kFieldCount) {
    throw RuntimeError(ErrorNumber::IndexOutsideTable, "field outside 1..11");
  }
  return fields_[static_cast<std::size_t>(field - 1)];
}

const std::optional<std::string>& Args::operator()(std::int16_t field) const {
  return const_cast<Args&>(*this)(field);
}

void SplitCommandLine(std::string_view text, Args& args) {
  if (Utf16Length(text) >= kMaxCommandLineUnits) {
    throw RuntimeError(ErrorNumber::Overflow, "command line too long");
  }
  std::int16_t field = 1;
  bool inQuotes = false;
  // Separators and quotes are ASCII, so working byte by byte on UTF-8 never
  // cuts a multi-byte character apart.
  for (char c : text) {
    if (c == '"') {
      inQuotes = !inQuotes;
    } else if (!inQuotes && (c == ' ' || c == '\t') && field < kFieldCount) {
      ++field;  // the new field stays unset until something is appended
    } else {
      if (!inQuotes && (c == ' ' || c == '\t')) args.lastFieldTookSeparator = true;
      std::optional<std::string>& target = args(field);
      if (!target) target.emplace();
      target->push_back(c);
    }
  }
}

}  // namespace korvane
