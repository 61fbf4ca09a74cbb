#include "icmp/control_base.h"

#include <cerrno>
#include <cstring>

#include "core/runtime_error.h"
#include "icmp/ip_address.h"
#include "platform/standard_streams.h"

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

void IcmpControlBase::FailSendWithoutSocket(bool ipv6, int openError) {
  if (!noSocketReported_) {
    noSocketReported_ = true;
    const std::string family = ipv6 ? "IPv6" : "IPv4";
    ReportToStandardError(
        openError == EPERM || openError == EACCES
            ? "no ICMP socket for " + family +
                  ": no permission to send echo requests; allow one with net.ipv4.ping_group_range, "
                  "or give the binary cap_net_raw (setcap cap_net_raw+ep), or run it as root"
            : "no ICMP socket for " + family + ": " + std::strerror(openError));
  }
  FailSend("no ICMP socket for the address's family");
}

void IcmpControlBase::DeliverSendFailure() {
  if (!sendFailed_) return;
  sendFailed_ = false;
  if (sink_) sink_->OnError();
}

}  // namespace korvane
