#pragma once
// Helpers for the checker's texts, which are held as UTF-8 but measured, as
// on the original platform, in UTF-16 code units.
#include <cstddef>
#include <string>
#include <string_view>

namespace korvane {

// Number of UTF-16 code units the (valid) UTF-8 text takes.
std::size_t Utf16Length(std::string_view utf8);

// Replaces every byte sequence that is not valid UTF-8 by U+FFFD.
std::string ToValidUtf8(std::string_view bytes);

// The text with its control characters made visible, so that a text from
// outside cannot start a line of its own, move the cursor or recolour a
// terminal: carriage return and line feed become \r and \n, the other C0
// controls but tab, and DEL, become \x00 to \x1f and \x7f; the C1 controls
// U+0080 to U+009F become \u0080 to \u009f, and a byte 0x80 to 0x9F that is not
// part of valid UTF-8 (a path in another encoding) becomes \x80 to \x9f.
// Everything else, backslashes and invalid UTF-8 included, stays byte for byte.
std::string EscapeControlCharacters(std::string_view text);

}  // namespace korvane
