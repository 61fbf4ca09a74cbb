#pragma once
// The state one run of the checker works on: the trace switch, the threshold,
// the host table and the index of the host under check. One object per run,
// shared by every procedure, so a test can always start from a fresh run.
#include <array>
#include <cstdint>
#include <string>

#include "core/ping_control.h"
#include "platform/platform.h"

namespace korvane {

constexpr std::int16_t kTrue = -1;
constexpr std::int16_t kFalse = 0;
constexpr std::int16_t kMaxHosts = 10;

struct HostEntry {
  std::string Address;
  std::int32_t ReplyTime = 0;
  std::int16_t Replied = 0;
};

// Host table with the fixed indices 1 to 10; any other index is an error.
class HostTable {
 public:
  HostEntry& operator()(std::int16_t index);
  const HostEntry& operator()(std::int16_t index) const;

 private:
  std::array<HostEntry, kMaxHosts> entries_{};
};

// The module's run state together with the two services it talks to.
struct modKorvane {
  modKorvane(Platform& platformServices, PingControl& control)
      : platform(platformServices), pingClient(control) {}

  Platform& platform;
  PingControl& pingClient;

  std::int16_t DebugOn = kFalse;
  std::int16_t MinReplies = 0;
  std::int16_t HostCount = 0;
  std::int16_t CurrentHost = 0;
  HostTable Hosts;

  // True only while the probe of the host at CurrentHost waits for its reply
  // after sending the echo request; replies at any other time are not credited.
  bool AwaitingReply = false;

  std::string TraceFilePath;
  // KORVANE_TRACE is "-": the trace goes to standard error instead of a file.
  bool TraceToStandardError = false;
  // The trace file could not be written once already, and that was reported.
  bool TraceLossReported = false;
};

}  // namespace korvane
