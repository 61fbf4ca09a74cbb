// The ping control's two events, as handled by the form.
#include "app/form.h"
#include "core/trace.h"

namespace korvane {

void frmKorvane::pingClient_Response(const std::string& sourceAddress, std::int32_t roundTripMs) {
  const std::string target = pingClient.Target();
  if (sourceAddress != target) return;
  // A reply counts only for the probe that is waiting for it right now. One
  // arriving in the pauses between hosts would otherwise be credited to the
  // next host before it was ever asked.
  if (!run_.AwaitingReply) return;

  HostEntry& host = run_.Hosts(run_.CurrentHost);
  host.Replied = 1;
  host.ReplyTime = roundTripMs;
  if (run_.DebugOn) {
    TraceLine(run_, {" <-- Ping Response from ", host.Address, " (", roundTripMs, " ms)"});
  }
}

void frmKorvane::pingClient_Error() {
  // Like a reply, an error names the host whose probe waits for it; at any
  // other time it would be blamed on a host that has not been asked yet, or
  // on none at all.
  if (!run_.AwaitingReply) return;
  if (run_.DebugOn) {
    TraceLine(run_,
              {" Error When Ping ", run_.Hosts(run_.CurrentHost).Address, " (frmKorvane_pingClient_Error)"});
  }
}

}  // namespace korvane
