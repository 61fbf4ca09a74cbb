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

}  // namespace korvane
