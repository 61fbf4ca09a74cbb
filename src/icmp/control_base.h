#pragma once
// What the ping controls of both operating systems share: how Target is
// aimed, a failed send that surfaces as an Error event at the next pump, and
// what the administrator is told about the sockets.
#include <cstdint>
#include <optional>
#include <string>

#include "core/ping_control.h"
#include "icmp/ip_address.h"
#include "icmp/name_lookup.h"

namespace korvane {

// Why a family has no ICMP socket, for the administrator: a missing
// permission with the ways to grant it, identifiers all taken, or the
// system's own word on the error.
std::string NoSocketReason(const char* family, int openError);

class IcmpControlBase : public PingControl {
 public:
  explicit IcmpControlBase(Platform& platform) : platform_(platform) {}
  void Connect(PingEvents* sink) override { sink_ = sink; }
  // A dotted quad is taken as it is; a name is resolved. Failure throws, with
  // ErrorNumber::NoSuchName when the name service says the name does not exist,
  // and with ErrorNumber::ZoneNeeded, saying why, for a link-local or multicast
  // IPv6 address without a zone.
  void SetTarget(const std::string& hostText) override;
  std::string Target() override { return target_; }
  // A failed send has no socket to signal it.
  bool DueWithoutWaitObject() const override { return sendFailed_; }

 protected:
  // The address of a name or an IPv6 literal, IPv4 first, within a bounded time.
  virtual NameLookup ResolveName(const std::string& name) = 0;
  // The request waited for so far is waited for no longer: nothing that
  // arrives for it from now on is raised as an event.
  virtual void ForgetCurrentRequest() = 0;

  // The one way the control is aimed, by SetTarget and by SendEcho alike. It
  // forgets the current request, then resolves the text (a dotted quad as it
  // is, anything else through the resolver). Afterwards Target reads the
  // address as the control writes it (FormatAddress), or, when the text has
  // no address, the text as it was given.
  std::optional<IpAddress> Aim(const std::string& hostText);
  // Remembers a failed send for an Error event at the next pump, and throws.
  [[noreturn]] void FailSend(const char* why);
  // A failed send because no ICMP socket of the address's family could be
  // opened (openError: the errno of that failure): the first of a run also
  // tells the administrator why.
  [[noreturn]] void FailSendWithoutSocket(bool ipv6, int openError);
  // The same on Windows, where the family has no ICMP handle (systemReason:
  // which call failed, and the system's word on it).
  [[noreturn]] void FailSendWithoutHandle(bool ipv6, const std::string& systemReason);
  // Raises the Error event of a failed send.
  void DeliverSendFailure();
  // Gives up the privilege the sockets needed; where that fails, says so and
  // ends the run at once rather than go on holding it.
  void GiveUpPrivilege();
  // A name lookup failed for a reason of the system's (cause): the first of
  // a run tells the administrator.
  void ReportResolverFailure(const std::string& cause);

  Platform& platform_;
  PingEvents* sink_ = nullptr;

 private:
  void ReportOnce(bool& reported, const std::string& reason);
  // Aim, with what the lookup said when the text has no address.
  NameLookup AimAt(const std::string& hostText);

  std::string target_;
  bool sendFailed_ = false;
  bool noSocketReported_ = false;
  bool resolverFailureReported_ = false;
};

}  // namespace korvane
