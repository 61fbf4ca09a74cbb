#include "icmp/control_base.h"

#include <cerrno>
#include <cstring>

#include "core/runtime_error.h"
#include "icmp/ip_address.h"

namespace korvane {

std::string NoSocketReason(const char* family, int openError) {
  const std::string start = std::string("no ICMP socket for ") + family + ": ";
  if (openError == EPERM || openError == EACCES) {
    return start +
           "no permission to send echo requests; allow one with net.ipv4.ping_group_range, "
           "or give the binary cap_net_raw (setcap cap_net_raw+ep), or run it as root";
  }
  if (openError == EADDRINUSE) return start + "no free ICMP identifier (every one is in use)";
  return start + std::strerror(openError);
}

NameLookup IcmpControlBase::AimAt(const std::string& hostText) {
  ForgetCurrentRequest();
  NameLookup found;
  if (const auto dottedQuad = ParseDottedQuad(hostText)) {
    found.address = IpAddress::Ipv4(*dottedQuad);
  } else if (!hostText.empty()) {
    found = ResolveName(hostText);
  }
  if (found.address) found.address = found.address->Unmapped();
  target_ = found.address ? FormatAddress(*found.address) : hostText;
  return found;
}

std::optional<IpAddress> IcmpControlBase::Aim(const std::string& hostText) { return AimAt(hostText).address; }

void IcmpControlBase::SetTarget(const std::string& hostText) {
  const NameLookup found = AimAt(hostText);
  if (found.address && found.address->ZoneMatters() && found.address->scopeId == 0) {
    // Sent without a zone, the request leaves on no link the administrator
    // chose, and no reply could be told to come from the host asked for.
    const char* kind = found.address->IsMulticast() ? "a multicast" : "a link-local";
    throw RuntimeError(ErrorNumber::ZoneNeeded, std::string(kind) + " address needs a zone (" +
                                                    FormatIpv6(found.address->bytes) + "%eth0)");
  }
  if (found.address) return;
  if (found.noSuchName) throw RuntimeError(ErrorNumber::NoSuchName, "no such name: " + hostText);
  throw RuntimeError(ErrorNumber::ControlFailure, "cannot resolve " + hostText);
}

void IcmpControlBase::FailSend(const char* why) {
  sendFailed_ = true;
  throw RuntimeError(ErrorNumber::ControlFailure, why);
}

void IcmpControlBase::FailSendWithoutSocket(bool ipv6, int openError) {
  ReportOnce(noSocketReported_, NoSocketReason(ipv6 ? "IPv6" : "IPv4", openError));
  FailSend("no ICMP socket for the address's family");
}

void IcmpControlBase::FailSendWithoutHandle(bool ipv6, const std::string& systemReason) {
  ReportOnce(noSocketReported_,
             std::string("no ICMP handle for ") + (ipv6 ? "IPv6" : "IPv4") + ": " + systemReason);
  FailSend("no ICMP handle for the address's family");
}

void IcmpControlBase::DeliverSendFailure() {
  if (!sendFailed_) return;
  sendFailed_ = false;
  if (sink_) sink_->OnError();
}

void IcmpControlBase::GiveUpPrivilege() {
  const std::optional<std::string> failed = platform_.GiveUpPrivilege();
  if (!failed) return;
  platform_.ReportProblem("cannot give up privilege (" + *failed + " failed): the run ends here");
  platform_.EndProgram(0);
}

void IcmpControlBase::ReportResolverFailure(const std::string& cause) {
  ReportOnce(resolverFailureReported_, "host names cannot be resolved: " + cause);
}

void IcmpControlBase::ReportOnce(bool& reported, const std::string& reason) {
  if (reported) return;
  reported = true;
  platform_.ReportProblem(reason);
}

}  // namespace korvane
