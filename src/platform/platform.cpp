#include "platform/platform.h"

#include <cstdlib>
#include <optional>

#include "platform/standard_streams.h"

namespace korvane {
namespace {

// 1 to 255 in plain decimal digits; anything else is no status.
std::optional<int> ParseSetupStatus(const std::string& text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 255) return std::nullopt;
  return value;
}

}  // namespace

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
  const std::string value = EnvironmentVariable(kSetupStatusVariable);
  if (value.empty()) return exitStatus;
  const std::optional<int> setupStatus = ParseSetupStatus(value);
  if (!setupStatus) {
    ReportProblem(std::string(kSetupStatusVariable) + " is " + value +
                  ", not a number from 1 to 255: it is ignored");
    return exitStatus;
  }
  const bool verdict = exitStatus == 0 || exitStatus == 100;
  return setupProblem_ && verdict ? *setupStatus : exitStatus;
}

}  // namespace korvane
