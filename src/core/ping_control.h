#pragma once
// The ping control: resolves names, sends echo requests, and reports what
// comes back as events. Events are raised only from DeliverPendingEvents,
// which the platform's wait calls from inside the checker's pauses and
// nowhere else.
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace korvane {

// How long a request is waited for, from when it is sent: a reply that
// arrives later is no answer, however soon after it the pump reads it.
inline constexpr std::int64_t kReplyDeadlineMs = 5050;

class PingEvents {
 public:
  virtual ~PingEvents() = default;
  virtual void OnError() = 0;
  // sourceAddress: the replying host's address as the control writes it (a
  // dotted quad, or IPv6 text); roundTripMs: whole ms.
  virtual void OnResponse(const std::string& sourceAddress, std::int32_t roundTripMs) = 0;
};

class PingControl : public EventSource {
 public:
  virtual void Connect(PingEvents* sink) = 0;

  // Writing Target resolves a name; a failed resolution throws RuntimeError.
  // Afterwards Target reads as the resolved address, or after a failure as
  // the text that was written.
  virtual void SetTarget(const std::string& hostText) = 0;
  virtual std::string Target() = 0;

  // Starts one echo request to the address and aims the control at it, so that
  // Target reads as that address afterwards. May throw RuntimeError.
  // From then on only this request is waited for: a reply or an error about
  // an earlier request is never raised as an event.
  virtual void SendEcho(const std::string& address) = 0;
};

}  // namespace korvane
