#include "app/run_checks.h"

#include "cmdline/command_line.h"
#include "core/pause.h"
#include "core/runtime_error.h"
#include "core/trace.h"
#include "probe/check_ping_status.h"

namespace korvane {

void RunChecks(modKorvane& run) {
  if (OpenTrace(run)) {
    run.DebugOn = kTrue;
    TraceStartLines(run);
  }

  ReadArguments(run);

  if (run.HostCount == 0) {
    Pause(run, 1000);
    run.platform.EndProgram(0);
  }

  const std::int16_t lastHost = run.HostCount;
  for (run.CurrentHost = 1; run.CurrentHost <= lastHost; run.CurrentHost = Add16(run.CurrentHost, 1)) {
    Pause(run, 100);
    CheckPingStatus(run);
  }

  std::int16_t answered = 0;
  for (run.CurrentHost = 1; run.CurrentHost <= lastHost; run.CurrentHost = Add16(run.CurrentHost, 1)) {
    answered = Add16(answered, run.Hosts(run.CurrentHost).Replied);
  }

  const bool thresholdMet = !(answered < run.MinReplies);
  if (run.DebugOn) {
    TraceLine(run, {thresholdMet ? " Return Value: 100" : " Return Value: 0"});
    Pause(run, 500);
  }
  run.platform.EndProgram(thresholdMet ? 100 : 0);
}

}  // namespace korvane
