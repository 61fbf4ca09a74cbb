#pragma once
#include <optional>
#include <string>

#include "icmp/ip_address.h"

namespace korvane {

// Resolves a host name, or an IPv6 literal, to the address the control pings:
// its first IPv4 address, or, only when it has none, its first IPv6 address.
// A text of digits and dots alone is only ever an IPv4 address. Gives up after
// the time limit, so that a resolver that never answers cannot hang the run.
std::optional<IpAddress> ResolveHost(const std::string& name, int timeLimitMs);

// How long a name may take to resolve.
constexpr int kResolveTimeLimitMs = 3000;

}  // namespace korvane
