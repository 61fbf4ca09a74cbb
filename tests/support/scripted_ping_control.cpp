#include "scripted_ping_control.h"

#include <algorithm>

#include "core/runtime_error.h"

namespace korvane::testing {

ScriptedPingControl::ScriptedPingControl(SimulatedPlatform& platform) : platform_(platform) {
  platform_.SetNextEventDue([this] { return NextDueAt(); });
}

std::optional<std::int64_t> ScriptedPingControl::NextDueAt() const {
  if (due_.empty()) return std::nullopt;
  return std::min_element(due_.begin(), due_.end(),
                          [](const Event& a, const Event& b) { return a.at < b.at; })
      ->at;
}

void ScriptedPingControl::SetTarget(const std::string& hostText) {
  calls_.push_back("SetTarget " + hostText);
  const auto found = names_.find(hostText);
  if (noSuchNames_.count(hostText)) throw RuntimeError(ErrorNumber::NoSuchName, "no such name " + hostText);
  if (const auto zone = zonesNeeded_.find(hostText); zone != zonesNeeded_.end()) {
    throw RuntimeError(ErrorNumber::ZoneNeeded, zone->second);
  }
  if (found == names_.end()) {
    throw RuntimeError(ErrorNumber::ControlFailure, "cannot resolve " + hostText);
  }
  target_ = found->second;
}

std::string ScriptedPingControl::Target() {
  calls_.push_back("Target");
  if (targetReadFails_) throw RuntimeError(ErrorNumber::ControlFailure, "Target read fails");
  return target_;
}

void ScriptedPingControl::SendEcho(const std::string& address) {
  calls_.push_back("SendEcho " + address);
  echoTimes_.push_back(platform_.Now());
  if (sendEchoFails_) throw RuntimeError(ErrorNumber::ControlFailure, "SendEcho fails");
  const auto name = names_.find(address);
  target_ = name == names_.end() ? address : name->second;
  const auto [first, last] = answers_.equal_range(address);
  for (auto it = first; it != last; ++it) {
    const Answer& a = it->second;
    due_.push_back(
        {platform_.Now() + a.delayMs, a.isError, a.source.empty() ? target_ : a.source, a.roundTripMs});
  }
}

bool ScriptedPingControl::DeliverPendingEvents() {
  const std::int64_t now = platform_.Now();
  std::stable_sort(due_.begin(), due_.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
  std::vector<Event> ready;
  const auto split = std::find_if(due_.begin(), due_.end(), [now](const Event& e) { return e.at > now; });
  ready.assign(due_.begin(), split);
  due_.erase(due_.begin(), split);
  for (const Event& e : ready) {
    if (!sink_) continue;
    if (e.isError) {
      sink_->OnError();
    } else {
      sink_->OnResponse(e.source, e.roundTripMs);
    }
  }
  return false;
}

void ScriptedPingControl::ReplyAfter(const std::string& address, std::int64_t delayMs,
                                     std::int32_t roundTripMs, std::string source) {
  answers_.insert({address, {delayMs, false, std::move(source), roundTripMs}});
}

void ScriptedPingControl::ErrorAfter(const std::string& address, std::int64_t delayMs) {
  answers_.insert({address, {delayMs, true, {}, 0}});
}

void ScriptedPingControl::ReplyAt(std::int64_t monotonicMs, const std::string& source,
                                  std::int32_t roundTripMs) {
  due_.push_back({monotonicMs, false, source, roundTripMs});
}

void ScriptedPingControl::ErrorAt(std::int64_t monotonicMs) { due_.push_back({monotonicMs, true, {}, 0}); }

std::vector<std::string> ScriptedPingControl::CallsExceptTargetReads() const {
  std::vector<std::string> calls;
  std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(calls),
               [](const std::string& c) { return c != "Target"; });
  return calls;
}

}  // namespace korvane::testing
