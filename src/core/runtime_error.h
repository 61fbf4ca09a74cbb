#pragma once
// The one exception type of the checker's logic. A failing step raises it with a
// number saying what went wrong; the argument reader, the host probe and the
// reply handlers are the only places that catch it.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvane {

enum class ErrorNumber : int {
  InvalidArgument = 5,
  Overflow = 6,
  IndexOutsideTable = 9,
  ControlFailure = 1000,
  // A name lookup the name service answered: no such name.
  NoSuchName = 1001,
  // An address whose zone names its link (link-local, multicast) written
  // without one: which link it is on cannot be known.
  ZoneNeeded = 1002,
};

class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(ErrorNumber number, const std::string& what) : std::runtime_error(what), number_(number) {}
  ErrorNumber number() const { return number_; }

 private:
  ErrorNumber number_;
};

// 16-bit signed arithmetic as the checker's counters and indices use it: any
// result outside -32768..32767 is an overflow error rather than a wrap-around.
inline std::int16_t CheckedInt16(long long value) {
  if (value < INT16_MIN || value > INT16_MAX) {
    throw RuntimeError(ErrorNumber::Overflow, "16-bit overflow");
  }
  return static_cast<std::int16_t>(value);
}

inline std::int16_t Add16(std::int16_t a, std::int16_t b) {
  return CheckedInt16(static_cast<long long>(a) + b);
}

}  // namespace korvane
