#include "icmp/control_base.h"

#include "icmp/ipv4_address.h"
#include "run/runtime_error.h"

namespace korvane {

std::optional<std::uint32_t> IcmpControlBase::AddressOf(const std::string& text) {
  if (const auto literal = ParseDottedQuad(text)) return literal;
  if (text.empty()) return std::nullopt;
  return ResolveName(text);
}

void IcmpControlBase::SetTarget(const std::string& hostText) {
  const auto address = AddressOf(hostText);
  if (!address) throw RuntimeError(ErrorNumber::ControlFailure, "cannot resolve " + hostText);
  target_ = FormatDottedQuad(*address);
}

std::uint32_t IcmpControlBase::AimAt(const std::string& addressText) {
  const auto address = AddressOf(addressText);
  if (!address) FailSend("cannot resolve the address");
  target_ = FormatDottedQuad(*address);
  return *address;
}

void IcmpControlBase::FailSend(const char* why) {
  ++sendFailures_;
  throw RuntimeError(ErrorNumber::ControlFailure, why);
}

void IcmpControlBase::DeliverSendFailures() {
  for (; sendFailures_ > 0; --sendFailures_) {
    if (sink_) sink_->OnError();
  }
}

}  // namespace korvane
