#include "core/pause.h"

namespace korvane {

void Pause(modKorvane& run, std::int16_t milliseconds) {
  const int slices = milliseconds / 10;  // truncates toward zero; negative gives none
  if (slices <= 0) return;
  // One wait to a fixed end: the events it delivers on the way neither cut it
  // short nor stretch it.
  PauseUntil(run, run.platform.MonotonicNanoseconds() + slices * 10'000'000LL);
}

void PauseUntil(modKorvane& run, std::int64_t endNs) { run.platform.WaitUntil(endNs, run.pingClient); }

}  // namespace korvane
