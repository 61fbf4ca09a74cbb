#include "probe/check_ping_status.h"

#include <algorithm>
#include <optional>
#include <string>

#include "address/is_not_ip_address.h"
#include "core/pause.h"
#include "core/runtime_error.h"
#include "core/trace.h"

namespace korvane {
namespace {

// Skip-on-error: a failing step is abandoned, its error becomes the pending
// error, and the probe goes on with the next step.
class StepRunner {
 public:
  template <typename Step>
  void operator()(Step&& step) {
    try {
      step();
    } catch (const RuntimeError& error) {
      pending_ = error.number();
      why_ = error.what();
    }
  }
  bool ErrorPending() const { return pending_.has_value(); }
  bool Pending(ErrorNumber number) const { return pending_ == number; }
  // What the pending error says went wrong.
  const std::string& Why() const { return why_; }
  void ClearError() { pending_.reset(); }

 private:
  std::optional<ErrorNumber> pending_;
  std::string why_;
};

// Marks the probe as waiting for its reply for as long as it lives.
class AwaitingReplyScope {
 public:
  explicit AwaitingReplyScope(modKorvane& run) : run_(run) { run_.AwaitingReply = true; }
  ~AwaitingReplyScope() { run_.AwaitingReply = false; }
  AwaitingReplyScope(const AwaitingReplyScope&) = delete;
  AwaitingReplyScope& operator=(const AwaitingReplyScope&) = delete;

 private:
  modKorvane& run_;
};

}  // namespace

void CheckPingStatus(modKorvane& run) {
  StepRunner step;
  HostEntry& host = run.Hosts(run.CurrentHost);
  std::int16_t isName = kFalse;

  step([&] { IsNotIpAddress(host.Address, isName); });
  if (isName != kFalse) {
    if (run.DebugOn) TraceLine(run, {" --> DNS resolving on ", host.Address});
    step.ClearError();  // only the resolution itself may take the failure branch
    step([&] { run.pingClient.SetTarget(host.Address); });
    if (step.ErrorPending()) {
      // A misspelt name or a link-local address without its zone is a wrong
      // set-up, named once; a name server that fails or does not answer is an
      // outage and stays a silent "down".
      const std::string hostNamed = "host " + std::to_string(run.CurrentHost) + ", " + host.Address + ": ";
      if (step.Pending(ErrorNumber::NoSuchName)) run.platform.ReportProblem(hostNamed + "no such name");
      if (step.Pending(ErrorNumber::ZoneNeeded)) run.platform.ReportProblem(hostNamed + step.Why());
      if (run.DebugOn) TraceLine(run, {" --- DNS resolving timed out: ", host.Address});
      return;
    }
    step([&] { host.Address = run.pingClient.Target(); });
    if (run.DebugOn) TraceLine(run, {" <-- DNS resolved to ", host.Address});
  }

  if (run.DebugOn) TraceLine(run, {" --> Sending Ping to ", host.Address});
  Pause(run, 50);

  // The deadline is a fixed point on the monotonic clock, taken at the send:
  // a wall clock set back or forward cannot move it, and pauses that end a
  // little late cannot bring the wait's end forward.
  const std::int64_t deadlineNs = run.platform.MonotonicNanoseconds() + kReplyDeadlineMs * 1'000'000;
  step([&] { run.pingClient.SendEcho(host.Address); });
  {
    AwaitingReplyScope awaiting(run);
    while (host.Replied == 0) {
      const std::int64_t now = run.platform.MonotonicNanoseconds();
      if (now >= deadlineNs) break;
      PauseUntil(run, std::min(now + kReplyPollMs * 1'000'000, deadlineNs));
    }
  }
  if (host.Replied == 0 && run.DebugOn) TraceLine(run, {" --- Ping timed out: ", host.Address});
}

}  // namespace korvane
