#pragma once
#include <chrono>
#include <string>

namespace korvane {

// True only when the name servers answer "no such name" (NXDOMAIN) for every
// name the resolver tries for `name`: the name as given and the name in each
// search domain, in the resolver's order. Anything else (a failure, a refusal,
// a format error, a name that exists without an IPv4 address, no answer, the
// time limit reached) is not the name's fault. Each server is asked once, for
// the resolver's time-out (one second as korvane sets it).
bool EveryNameTriedIsAbsent(const std::string& name, std::chrono::steady_clock::time_point giveUpAt);

}  // namespace korvane
