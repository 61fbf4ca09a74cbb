#include "run/pause.h"

namespace korvane {

void Pause(modKorvane& run, std::int16_t milliseconds) {
  const int slices = milliseconds / 10;  // truncates toward zero; negative gives none
  for (int i = 1; i <= slices; ++i) {
    run.platform.Sleep(10);
    run.platform.PumpEvents();
    run.pingClient.DeliverPendingEvents();
  }
}

}  // namespace korvane
