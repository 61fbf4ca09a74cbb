#pragma once
// The rules of a name lookup, the same on every system.
#include <string_view>

namespace korvane {

// How long a name may take to resolve: a name server that never answers
// cannot hold up the run longer.
inline constexpr int kResolveTimeLimitMs = 3000;

// A text of digits and dots alone ("127.1", "0177.1") is only ever looked up
// as an IPv4 address, never as an IPv6 one.
inline bool OnlyIpv4(std::string_view name) { return name.find_first_not_of("0123456789.") == name.npos; }

}  // namespace korvane
