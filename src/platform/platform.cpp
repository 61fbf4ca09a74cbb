#include "platform/platform.h"

#include <cstdlib>
#include <optional>

#include "platform/setup_status.h"
#include "platform/standard_streams.h"

namespace korvane {

void Platform::ReportProblem(const std::string& reason) {
  setupProblem_ = true;
  WriteStandardError(ProblemLine(reason));
}

void Platform::ReportLostTrace(const std::string& reason) { WriteStandardError(ProblemLine(reason)); }

void Platform::EndProgram(int exitStatus) {
  Exit(FinalExitStatus(exitStatus));
  std::abort();  // an Exit that came back
}

// Read as the run ends, so that a run ended early (privilege that could not be
// given up) is judged by the same rule as one that reached its verdict.
int Platform::FinalExitStatus(int exitStatus) {
  const SetupStatusReading setupStatus = ReadSetupStatus(EnvironmentVariable(kSetupStatusVariable));
  if (!setupStatus.refusal.empty()) ReportProblem(setupStatus.refusal);
  return RunExitStatus(exitStatus, setupProblem_, setupStatus.status);
}

}  // namespace korvane
