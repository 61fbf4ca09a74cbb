#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

// Resolves a host name to its first IPv4 address (host byte order), giving up
// after the time limit so that a resolver that never answers cannot hang the run.
std::optional<std::uint32_t> ResolveIpv4(const std::string& name, int timeLimitMs);

// How long a name may take to resolve.
constexpr int kResolveTimeLimitMs = 3000;

}  // namespace korvane
