#pragma once
#include <cstdint>

#include "core/run_state.h"

namespace korvane {

// Waits the milliseconds rounded down to whole 10 ms, as one wait that
// delivers pending events, the ping control's replies included, as they come.
// This is the only place those events run.
void Pause(modKorvane& run, std::int16_t milliseconds);

}  // namespace korvane
