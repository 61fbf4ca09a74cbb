#pragma once
// A ping control driven by a script: which names resolve, which replies and
// errors arrive at which virtual time. It records every call it receives.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/ping_control.h"
#include "simulated_platform.h"

namespace korvane::testing {

class ScriptedPingControl : public PingControl {
 public:
  explicit ScriptedPingControl(SimulatedPlatform& platform);

  void Connect(PingEvents* sink) override { sink_ = sink; }
  void SetTarget(const std::string& hostText) override;
  std::string Target() override;
  void SendEcho(const std::string& address) override;
  std::vector<std::intptr_t> WaitObjects() const override { return {}; }
  bool DeliverPendingEvents() override;

  // Script.
  void Resolve(const std::string& name, const std::string& address) { names_[name] = address; }
  // The name service answers that the name does not exist.
  void NoSuchName(const std::string& name) { noSuchNames_.insert(name); }
  // The text is an address that needs a zone; why: what the control says.
  void ZoneNeeded(const std::string& text, const std::string& why) { zonesNeeded_[text] = why; }
  // When an echo request goes to address, a reply from source arrives delayMs later.
  void ReplyAfter(const std::string& address, std::int64_t delayMs, std::int32_t roundTripMs,
                  std::string source = {});
  void ErrorAfter(const std::string& address, std::int64_t delayMs);
  // An event at a fixed virtual time, whatever is sent.
  void ReplyAt(std::int64_t monotonicMs, const std::string& source, std::int32_t roundTripMs);
  void ErrorAt(std::int64_t monotonicMs);
  void SetTargetReadFails(bool fails) { targetReadFails_ = fails; }
  void SetSendEchoFails(bool fails) { sendEchoFails_ = fails; }

  // Observations.
  const std::vector<std::string>& Calls() const { return calls_; }
  std::vector<std::string> CallsExceptTargetReads() const;
  std::vector<std::int64_t> EchoTimes() const { return echoTimes_; }
  // Monotonic time of the earliest event still to come.
  std::optional<std::int64_t> NextDueAt() const;

 private:
  struct Event {
    std::int64_t at;
    bool isError;
    std::string source;
    std::int32_t roundTripMs;
  };
  struct Answer {
    std::int64_t delayMs;
    bool isError;
    std::string source;
    std::int32_t roundTripMs;
  };

  SimulatedPlatform& platform_;
  PingEvents* sink_ = nullptr;
  std::string target_;
  std::map<std::string, std::string> names_;
  std::set<std::string> noSuchNames_;
  std::map<std::string, std::string> zonesNeeded_;
  std::multimap<std::string, Answer> answers_;
  std::vector<Event> due_;
  std::vector<std::string> calls_;
  std::vector<std::int64_t> echoTimes_;
  bool targetReadFails_ = false;
  bool sendEchoFails_ = false;
};

}  // namespace korvane::testing
