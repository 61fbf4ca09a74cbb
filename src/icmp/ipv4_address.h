#pragma once
// Dotted-quad IPv4 texts as the ping control reads and writes them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// Four groups of decimal digits separated by dots, each 0..255. Leading zeros
// are allowed and never mean octal: "127.000.000.001" and "1.2.3.0000255" are
// addresses. Returns the address in host byte order.
std::optional<std::uint32_t> ParseDottedQuad(std::string_view text);

// "a.b.c.d" for an address in host byte order.
std::string FormatDottedQuad(std::uint32_t address);

}  // namespace korvane
