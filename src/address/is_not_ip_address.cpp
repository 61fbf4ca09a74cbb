#include "address/is_not_ip_address.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "core/run_state.h"
#include "core/runtime_error.h"

namespace korvane {
namespace {

constexpr long long kLargestPosition = 32767;

// The text as the check reads it: one character per UTF-16 code unit, so
// that positions and lengths count what the platform's texts count. ASCII
// stays as it is; every unit of anything else becomes '?', which no address
// may contain.
std::string CodeUnits(std::string_view utf8) {
  std::string units;
  units.reserve(utf8.size());
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      units += c;
    } else if (byte >= 0xF0) {
      units += "??";  // a surrogate pair
    } else if (byte >= 0xC0) {
      units += '?';
    }  // continuation bytes add no unit
  }
  return units;
}

int CodeAt(std::string_view text, std::size_t zeroBased) {
  return static_cast<unsigned char>(text[zeroBased]);
}

// 1-based position of the first '.' at or after start, 0 when none.
long long FindDot(std::string_view text, long long start) {
  if (start > kLargestPosition) throw RuntimeError(ErrorNumber::Overflow, "position overflow");
  if (start < 1 || static_cast<std::size_t>(start) > text.size()) return 0;
  const std::size_t found = text.find('.', static_cast<std::size_t>(start - 1));
  if (found == std::string_view::npos) return 0;
  const long long position = static_cast<long long>(found) + 1;
  if (position > kLargestPosition) throw RuntimeError(ErrorNumber::Overflow, "position overflow");
  return position;
}

// The search after a failed one starts again at position 1.
long long NextStart(long long previous) { return previous == 0 ? 1 : previous + 1; }

double GroupValue(std::string_view digits) {
  const std::string text(digits);
  const double value = std::strtod(text.c_str(), nullptr);
  if (std::isinf(value)) throw RuntimeError(ErrorNumber::Overflow, "group value overflow");
  return value;
}

}  // namespace

void IsNotIpAddress(std::string_view utf8, std::int16_t& flag) {
  flag = kFalse;
  const std::string units = CodeUnits(utf8);
  const std::string_view text = units;
  if (text.empty()) throw RuntimeError(ErrorNumber::InvalidArgument, "empty host text");
  const auto reject = [&flag] { flag = kTrue; };

  if (CodeAt(text, 0) > 63) return reject();

  const long long p1 = FindDot(text, 1);
  const long long p2 = FindDot(text, NextStart(p1));
  const long long p3 = FindDot(text, NextStart(p2));
  const long long p4 = FindDot(text, NextStart(p3));

  if (p1 < 2 || p1 > 4) return reject();
  if (p2 > p1 + 4 || p2 <= p1 + 1) return reject();
  if (p3 > p2 + 4 || p3 <= p2 + 1) return reject();
  if (static_cast<std::size_t>(p3) >= text.size()) return reject();  // nothing after the third dot
  if (p4 > 0) return reject();

  // The scan position is a 16-bit counter: it cannot pass beyond 32,767.
  if (text.size() > static_cast<std::size_t>(kLargestPosition)) {
    throw RuntimeError(ErrorNumber::Overflow, "text too long");
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int code = CodeAt(text, i);
    if (!((code >= 48 && code <= 57) || code == 46)) return reject();
  }
  if (text.size() == static_cast<std::size_t>(kLargestPosition)) {
    throw RuntimeError(ErrorNumber::Overflow, "scan position overflow");
  }

  const auto group = [&text](long long from, long long to) {  // 1-based, to exclusive
    return text.substr(static_cast<std::size_t>(from - 1), static_cast<std::size_t>(to - from));
  };
  const std::string_view groups[4] = {group(1, p1), group(p1 + 1, p2), group(p2 + 1, p3),
                                      text.substr(static_cast<std::size_t>(p3))};
  for (std::string_view digits : groups) {
    const double value = GroupValue(digits);
    if (value < 0 || value > 255) reject();
  }
}

}  // namespace korvane
