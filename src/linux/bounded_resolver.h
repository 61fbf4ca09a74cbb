#pragma once
#include <optional>
#include <string>

#include "icmp/ip_address.h"

namespace korvane {

struct Resolution {
  std::optional<IpAddress> address;
  // Set when the lookup failed for a reason of the system's rather than of
  // the name (descriptors or memory used up): what that reason was.
  std::string systemFailure;
  // Set when the name service answered that the name does not exist.
  bool noSuchName = false;
};

// Resolves a host name, or an IPv6 literal, to the address the control pings:
// its first IPv4 address, or, only when it has none, its first IPv6 address.
// A text of digits and dots alone is only ever an IPv4 address. Gives up after
// the time limit, so that a resolver that never answers cannot hang the run.
// Both families are asked for at once, and the C library asks each name
// server in turn for one second: with the first of up to three servers silent,
// the answer of the next still comes within the limit. "No such name" only
// when the name servers said so for every name tried.
Resolution ResolveHost(const std::string& name, int timeLimitMs);

}  // namespace korvane
