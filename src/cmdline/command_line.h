#pragma once
// Reading the command line: a threshold, then up to ten hosts, separated by
// single blanks or tabs, with double quotes grouping text.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/run_state.h"

namespace korvane {

constexpr std::int16_t kFieldCount = 11;
// The command line must be shorter than this many UTF-16 code units.
constexpr std::size_t kMaxCommandLineUnits = 32767;

// Fields 1 to 11; a field is unset until a character is appended to it.
class Args {
 public:
  std::optional<std::string>& operator()(std::int16_t field);
  const std::optional<std::string>& operator()(std::int16_t field) const;

  // The last field took a blank or tab outside quotes: more text followed the
  // tenth host than one host.
  bool lastFieldTookSeparator = false;

 private:
  std::array<std::optional<std::string>, kFieldCount> fields_{};
};

// Cuts the text into fields. Throws an overflow error for a text of 32,767
// UTF-16 code units or more.
void SplitCommandLine(std::string_view text, Args& args);

// The threshold field as a 16-bit number: unset gives 0; a decimal number
// (optional sign, optional fraction, surrounding blanks) is rounded half to
// even. Anything else, or a value outside -32768..32767, throws.
std::int16_t ConvertThreshold(const std::optional<std::string>& field);

// Fills MinReplies, Hosts and HostCount from the platform's command line.
// On an argument error with the trace on it ends the program; with the trace
// off it returns with HostCount still 0. Either way it reports the error; it
// reports host text that it ignores, a command line without a host, and a
// threshold that fixes the verdict before any host is asked (empty, 0 or
// below, or above the number of hosts).
void ReadArguments(modKorvane& run);

}  // namespace korvane
