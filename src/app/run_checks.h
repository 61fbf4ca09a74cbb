#pragma once
#include "core/run_state.h"

namespace korvane {

// The whole run: trace switch, arguments, one probe per host, and the verdict
// as the exit status (100 when at least MinReplies hosts answered, else 0).
[[noreturn]] void RunChecks(modKorvane& run);

}  // namespace korvane
