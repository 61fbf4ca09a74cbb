#pragma once
// What the ping controls of both operating systems share: how Target is
// aimed, and send failures that surface as Error events at the next pump.
#include <cstdint>
#include <optional>
#include <string>

#include "probe/ping_control.h"

namespace korvane {

class IcmpControlBase : public PingControl {
 public:
  void Connect(PingEvents* sink) override { sink_ = sink; }
  // A dotted quad is taken as it is; a name is resolved. Failure throws.
  void SetTarget(const std::string& hostText) override;
  std::string Target() override { return target_; }

 protected:
  // The first IPv4 address of a name, within a bounded time.
  virtual std::optional<std::uint32_t> ResolveName(const std::string& name) = 0;

  // Aims the control at the address text (resolving it if it is a name) and
  // returns the address; afterwards Target reads as its dotted quad.
  std::uint32_t AimAt(const std::string& addressText);
  // Queues an Error event for the next pump and throws.
  [[noreturn]] void FailSend(const char* why);
  // Raises the queued Error events.
  void DeliverSendFailures();

  PingEvents* sink_ = nullptr;

 private:
  std::optional<std::uint32_t> AddressOf(const std::string& text);

  std::string target_;
  int sendFailures_ = 0;
};

}  // namespace korvane
