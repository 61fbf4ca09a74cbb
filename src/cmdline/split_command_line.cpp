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

namespace {

// Where the line ends for the splitter: blanks and tabs at its very end,
// outside quotes, belong to no field. cmd.exe leaves the blank before a
// redirect ("korvane.exe 1 h1 ... h10 2>>log"), and the tenth host would
// take it.
std::size_t EndOfFields(std::string_view text) {
  std::size_t end = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (quoted || (text[i] != ' ' && text[i] != '\t')) end = i + 1;
  }
  return end;
}

}  // namespace

void SplitCommandLine(std::string_view text, Args& args) {
  if (Utf16Length(text) >= kMaxCommandLineUnits) {
    throw RuntimeError(ErrorNumber::Overflow, "command line too long");
  }
  text = text.substr(0, EndOfFields(text));
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
