#include <cstddef>
#include <string_view>

#include "cmdline/command_line.h"
#include "core/runtime_error.h"

namespace korvane {
namespace {

[[noreturn]] void NotANumber() {
  throw RuntimeError(ErrorNumber::InvalidArgument, "threshold is not a number");
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::int16_t ConvertThreshold(const std::optional<std::string>& field) {
  if (!field) return 0;
  std::string_view text = *field;
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);

  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  if (whole.empty() && fraction.empty()) NotANumber();
  for (char c : whole)
    if (!IsDigit(c)) NotANumber();
  for (char c : fraction)
    if (!IsDigit(c)) NotANumber();

  // Exact decimal rounding on the digits themselves: no binary fraction can
  // push 2.5 or 2.4999... to the wrong side.
  long long magnitude = 0;
  for (char c : whole) {
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > 100000) throw RuntimeError(ErrorNumber::Overflow, "threshold out of range");
  }
  if (!fraction.empty()) {
    const int firstDigit = fraction.front() - '0';
    const bool restIsZero = fraction.find_first_not_of('0', 1) == std::string_view::npos;
    const bool aboveHalf = firstDigit > 5 || (firstDigit == 5 && !restIsZero);
    const bool exactlyHalf = firstDigit == 5 && restIsZero;
    if (aboveHalf || (exactlyHalf && magnitude % 2 == 1)) ++magnitude;
  }
  return CheckedInt16(negative ? -magnitude : magnitude);
}

}  // namespace korvane
