#pragma once
#include <cstdint>

#include "run/run_state.h"

namespace korvane {

// Waits in 10 ms slices; after each slice pending events run, the ping
// control's replies included. This is the only place those events run.
void Pause(modKorvane& run, std::int16_t milliseconds);

}  // namespace korvane
