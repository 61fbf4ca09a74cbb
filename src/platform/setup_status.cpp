#include "platform/setup_status.h"

#include <algorithm>

namespace korvane {

SetupStatusReading ReadSetupStatus(const std::string& value) {
  if (value.empty()) return {};
  const std::string named = std::string(kSetupStatusVariable) + " is " + value;
  const SetupStatusReading outOfRange = {std::nullopt, named + ", not a number from 1 to 255: it is ignored"};
  // Past 255 the value only has to stay out of range, however many digits follow.
  int number = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return outOfRange;
    number = std::min(number * 10 + (c - '0'), 256);
  }
  if (number < 1 || number > 255) return outOfRange;
  if (number == 100) return {std::nullopt, named + ", the status of \"up\": it is ignored"};
  return {number, {}};
}

int RunExitStatus(int exitStatus, bool wrongSetUp, std::optional<int> setupStatus) {
  const bool verdict = exitStatus == 0 || exitStatus == 100;
  return wrongSetUp && verdict && setupStatus ? *setupStatus : exitStatus;
}

}  // namespace korvane
