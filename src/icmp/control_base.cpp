#include "icmp/control_base.h"

#include "icmp/ipv4_address.h"
#include "run/runtime_error.h"

namespace korvane {

std::optional<std::uint32_t> IcmpControlBase::Aim(const std::string& hostText) {
  ForgetCurrentRequest();
  std::optional<std::uint32_t> address = ParseDottedQuad(hostText);
  if (!address && !hostText.empty()) address = ResolveName(hostText);
  target_ = address ? FormatDottedQuad(*address) : hostText;
  return address;
}

void IcmpControlBase::SetTarget(const std::string& hostText) {
  if (!Aim(hostText)) throw RuntimeError(ErrorNumber::ControlFailure, "cannot resolve " + hostText);
}

void IcmpControlBase::FailSend(const char* why) {
  sendFailed_ = true;
  throw RuntimeError(ErrorNumber::ControlFailure, why);
}

void IcmpControlBase::DeliverSendFailure() {
  if (!sendFailed_) return;
  sendFailed_ = false;
  if (sink_) sink_->OnError();
}

}  // namespace korvane
