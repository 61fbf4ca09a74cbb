#include "icmp/control_base.h"

#include "icmp/ip_address.h"
#include "core/runtime_error.h"

namespace korvane {

std::optional<IpAddress> IcmpControlBase::Aim(const std::string& hostText) {
  ForgetCurrentRequest();
  std::optional<IpAddress> address;
  if (const auto dottedQuad = ParseDottedQuad(hostText)) {
    address = IpAddress::Ipv4(*dottedQuad);
  } else if (!hostText.empty()) {
    address = ResolveName(hostText);
  }
  target_ = address ? FormatAddress(*address) : hostText;
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
