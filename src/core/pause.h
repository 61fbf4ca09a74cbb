#pragma once
#include <cstdint>

#include "core/run_state.h"

namespace korvane {

// Waits the milliseconds rounded down to whole 10 ms, as one wait that
// delivers pending events, the ping control's replies included, as they come.
// This is the only place those events run.
void Pause(modKorvane& run, std::int16_t milliseconds);

// The same wait, to a fixed end on the monotonic clock.
void PauseUntil(modKorvane& run, std::int64_t endNs);

}  // namespace korvane
