#pragma once
#include "core/run_state.h"

namespace korvane {

// Checks the host at CurrentHost: resolves it when it is a name, sends one
// echo request and waits, pumping events, until the reply handler marks the
// host as answered or five seconds have passed.
void CheckPingStatus(modKorvane& run);

// How long the probe waits for a reply after sending its request.
constexpr long long kReplyDeadlineMs = 5000;

}  // namespace korvane
