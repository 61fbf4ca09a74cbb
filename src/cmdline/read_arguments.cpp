#include "cmdline/command_line.h"
#include "core/pause.h"
#include "core/runtime_error.h"
#include "core/trace.h"

namespace korvane {
namespace {

constexpr const char* kSeeHelp = " (korvane --help)";

std::string ArgumentErrorReason(ErrorNumber number, bool lineSplit) {
  std::string reason = "argument error: the threshold is not within -32768 to 32767";
  if (!lineSplit) {
    reason = "argument error: the command line is too long: 32767 UTF-16 code units or more";
  } else if (number == ErrorNumber::InvalidArgument) {
    reason = "argument error: the threshold is not a number";
  }
  return reason + kSeeHelp;
}

// Host text that the command line holds but the run does not check. True when
// there was such text.
bool ReportIgnoredHosts(modKorvane& run, const Args& args, std::int16_t emptyField) {
  int ignored = 0;
  for (std::int16_t j = emptyField + 1; emptyField > 0 && j <= kFieldCount; ++j)
    ignored += args(j) ? 1 : 0;
  if (ignored > 0) {
    run.platform.ReportProblem("host " + std::to_string(emptyField - 1) +
                               " is empty and ends the host list: the " + std::to_string(ignored) +
                               (ignored == 1 ? " host after it is ignored" : " hosts after it are ignored"));
  }
  if (emptyField == 0 && args.lastFieldTookSeparator) {
    run.platform.ReportProblem("more than ten hosts: the tenth host takes the rest of the line");
    return true;
  }
  return ignored > 0;
}

// A command line that is read, but whose run cannot give the answer meant:
// nothing to check, or a threshold that decides the verdict on its own.
void ReportVerdictFixedInAdvance(modKorvane& run, const Args& args, bool hostsIgnored) {
  if (run.HostCount == 0) {
    if (!hostsIgnored) run.platform.ReportProblem(std::string("no host named: nothing to check") + kSeeHelp);
    return;
  }
  const std::string threshold = "the threshold is " + std::to_string(run.MinReplies);
  if (!args(1)) {
    run.platform.ReportProblem("the threshold is empty, which counts as 0: every run ends up (100)");
  } else if (run.MinReplies <= 0) {
    run.platform.ReportProblem(threshold + ", 0 or below: every run ends up (100)");
  } else if (run.MinReplies > run.HostCount) {
    run.platform.ReportProblem(threshold + ", more than the " + std::to_string(run.HostCount) +
                               (run.HostCount == 1 ? " host" : " hosts") +
                               " checked: every run ends down (0)");
  }
}

}  // namespace

void ReadArguments(modKorvane& run) {
  Args args;
  bool lineSplit = false;
  try {
    const std::string commandLine = run.platform.CommandLineText();
    SplitCommandLine(commandLine, args);
    lineSplit = true;
    if (run.DebugOn) TraceLine(run, {" CommandLine = ", commandLine});
    run.MinReplies = ConvertThreshold(args(1));

    std::int16_t k = 0;
    std::int16_t emptyField = 0;
    for (std::int16_t j = 2; j <= kFieldCount; ++j) {
      const std::optional<std::string>& field = args(j);
      if (!field) {  // an unset field ends the host list
        emptyField = j;
        break;
      }
      k = Add16(k, 1);
      HostEntry& entry = run.Hosts(k);
      entry.Address = *field;
      entry.ReplyTime = 0;
      entry.Replied = 0;
    }
    run.HostCount = k;
    ReportVerdictFixedInAdvance(run, args, ReportIgnoredHosts(run, args, emptyField));
  } catch (const RuntimeError& error) {
    run.platform.ReportProblem(ArgumentErrorReason(error.number(), lineSplit));
    if (!run.DebugOn) return;  // the run ends on its no-host rule
    TraceLine(run, {" Argument Error"});
    Pause(run, 500);
    run.platform.EndProgram(0);
  }
}

}  // namespace korvane
