#pragma once
#include <cstdint>

#include "core/run_state.h"

namespace korvane {

// Checks the host at CurrentHost: resolves it when it is a name, sends one
// echo request and waits, pumping events, until the reply handler marks the
// host as answered or five seconds have passed.
void CheckPingStatus(modKorvane& run);

// The probe's wait for a reply ends kReplyDeadlineMs after its request was
// sent; it polls every 50 ms until then.
constexpr std::int64_t kReplyPollMs = 50;

}  // namespace korvane
