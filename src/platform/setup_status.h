#pragma once
// KORVANE_SETUP_STATUS: the exit status a run with a wrong set-up ends with,
// so that a job can tell "misconfigured" from "down". Pure rules, no system:
// what the variable holds goes in, the status (or why it is refused) comes out.
#include <optional>
#include <string>

namespace korvane {

// Opts in to a distinct exit status for a run whose set-up is wrong.
inline constexpr const char* kSetupStatusVariable = "KORVANE_SETUP_STATUS";

struct SetupStatusReading {
  std::optional<int> status;  // the status to end a wrong set-up with
  std::string refusal;        // why the value is ignored; empty when it is not
};

// Plain decimal digits (any number of leading zeros) for 1 to 255, but never
// a verdict's own status, 0 or 100: a wrong set-up must not read as "down" or
// "up". Empty is unset: no status and nothing to say.
SetupStatusReading ReadSetupStatus(const std::string& value);

// The status a run ends with: a verdict (0 or 100) of a run with a wrong
// set-up becomes the set-up status, when there is one; any other status stays.
int RunExitStatus(int exitStatus, bool wrongSetUp, std::optional<int> setupStatus);

}  // namespace korvane
