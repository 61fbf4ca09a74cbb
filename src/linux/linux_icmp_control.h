#pragma once
// The ping control on Linux: ICMP and ICMPv6 sockets, echo requests with this
// control's own identifiers, sequence numbers and random payloads, and events
// for the replies and the first error that belong to the request now waited
// for. The sockets let in only what can still change that request's outcome.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "icmp/awaited_request.h"
#include "icmp/control_base.h"
#include "linux/descriptor.h"
#include "linux/linux_icmp_family.h"
#include "linux/socket_filter.h"

namespace korvane {

class LinuxIcmpControl : public IcmpControlBase {
 public:
  // A run that holds privilege granted to it opens a socket for each family
  // now, then gives the privilege up; any other run opens a family's socket
  // when its first request needs it.
  explicit LinuxIcmpControl(Platform& platform);
  ~LinuxIcmpControl() override;
  LinuxIcmpControl(const LinuxIcmpControl&) = delete;
  LinuxIcmpControl& operator=(const LinuxIcmpControl&) = delete;

  void SendEcho(const std::string& address) override;
  std::vector<std::intptr_t> WaitObjects() const override;
  bool DeliverPendingEvents() override;

 private:
  enum class SocketKind { None, Datagram, Raw };
  struct FamilySocket {
    const IcmpFamily* family;
    Descriptor fd{};
    SocketKind kind = SocketKind::None;
    std::uint16_t identifier = 0;  // random: a datagram socket is bound to it
    bool opened = false;           // the socket was tried for
    bool used = false;             // a request has gone out on it
    bool filterSet = false;        // bound with the filter of the request about to go out
    bool waiting = false;          // lets in what a request sent on it is answered with
    bool noFreshSockets = false;   // a fresh datagram socket could not be had: this one serves on
    int openError = 0;             // why there is no socket
  };
  struct Request {
    FilteredRequest filtered;
    AwaitedRequest awaited;
  };

  NameLookup ResolveName(const std::string& name) override;
  void ForgetCurrentRequest() override;
  bool DrawRequestNumbers(FilteredRequest& request);
  void Open(FamilySocket& socket, const FilteredRequest* request);
  bool OpenDatagram(FamilySocket& socket, const FilteredRequest* request);
  void TakeFreshDatagramSocket(FamilySocket& socket, const FilteredRequest& request);
  bool LetInRepliesTo(FamilySocket& socket, const FilteredRequest& request);
  void StopErrors(const FamilySocket& socket);
  bool ReadMessage(const FamilySocket& socket);
  bool ReadQueuedError(const FamilySocket& socket);
  void Raise(const FamilySocket& socket, const Judgement& judgement);

  FamilySocket ipv4_{&kIcmpOverIpv4};
  FamilySocket ipv6_{&kIcmpOverIpv6};
  std::vector<std::uint16_t> sequencesUsed_;
  std::optional<Request> current_;
};

}  // namespace korvane
