#pragma once
// The rules of a name lookup, the same on every system.
#include <optional>
#include <string_view>

#include "icmp/ip_address.h"

namespace korvane {

// How long a name may take to resolve: a name server that never answers
// cannot hold up the run longer. Each system's resolver is set or chosen so
// that a second or third name server still answers within it (Windows, whose
// DNS client cannot be set per process, waits a second more).
inline constexpr int kResolveTimeLimitMs = 3000;

// What a lookup found: the address, or none. noSuchName: the name service
// answered that the name does not exist, which is a wrong set-up (a misspelt
// name) and never an outage, unlike a name server that fails or is silent.
struct NameLookup {
  std::optional<IpAddress> address;
  bool noSuchName = false;
};

// A text of digits and dots alone ("127.1", "0177.1") is only ever looked up
// as an IPv4 address, never as an IPv6 one.
inline bool OnlyIpv4(std::string_view name) { return name.find_first_not_of("0123456789.") == name.npos; }

}  // namespace korvane
