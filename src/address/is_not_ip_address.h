#pragma once
#include <cstdint>
#include <string_view>

namespace korvane {

// Sets flag to 0 when text is a literal dotted-quad IPv4 address (four groups
// of decimal digits, the first three one to three digits long, every value
// 0..255, nothing else in the text) and to -1 when it is not. Throws for an
// empty text (invalid argument), and with an overflow for texts of 32,767
// characters (UTF-16 code units) or more or a fourth group too large for a
// double; the flag then keeps the value it had.
void IsNotIpAddress(std::string_view text, std::int16_t& flag);

}  // namespace korvane
