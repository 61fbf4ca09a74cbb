#include "cmdline/command_line.h"
#include "core/pause.h"
#include "core/runtime_error.h"
#include "core/trace.h"

namespace korvane {

void ReadArguments(modKorvane& run) {
  Args args;
  try {
    const std::string commandLine = run.platform.CommandLineText();
    SplitCommandLine(commandLine, args);
    if (run.DebugOn) TraceLine(run, {" CommandLine = ", commandLine});
    run.MinReplies = ConvertThreshold(args(1));

    std::int16_t k = 0;
    for (std::int16_t j = 2; j <= kFieldCount; ++j) {
      const std::optional<std::string>& field = args(j);
      if (!field) break;  // an unset field ends the host list
      k = Add16(k, 1);
      HostEntry& entry = run.Hosts(k);
      entry.Address = *field;
      entry.ReplyTime = 0;
      entry.Replied = 0;
    }
    run.HostCount = k;
  } catch (const RuntimeError&) {
    if (!run.DebugOn) return;  // silent: the run ends on its no-host rule
    TraceLine(run, {" Argument Error"});
    Pause(run, 500);
    run.platform.EndProgram(0);
  }
}

}  // namespace korvane
