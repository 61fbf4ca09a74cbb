#pragma once
// The ping control on Linux: an ICMP and an ICMPv6 socket, echo requests with
// this control's own identifiers and sequence numbers, and events for the
// reply and the first error that belong to the request now waited for. The
// sockets let in only what can still change that request's outcome.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "icmp/control_base.h"
#include "icmp/icmp_packet.h"
#include "icmp/ip_address.h"

namespace korvane {

class LinuxIcmpControl : public IcmpControlBase {
 public:
  // Opens a socket for each family: unprivileged datagram sockets where the
  // kernel allows them (net.ipv4.ping_group_range), one for each request a
  // run can make, else a raw socket. A family without a socket turns its
  // requests into Error events. Then gives up privilege.
  LinuxIcmpControl();
  ~LinuxIcmpControl() override;
  LinuxIcmpControl(const LinuxIcmpControl&) = delete;
  LinuxIcmpControl& operator=(const LinuxIcmpControl&) = delete;

  void SendEcho(const std::string& address) override;
  std::vector<std::intptr_t> WaitObjects() const override;
  bool DeliverPendingEvents() override;

 private:
  enum class SocketKind { None, Datagram, Raw };
  struct IcmpSocket {
    int fd = -1;
    SocketKind kind = SocketKind::None;
    bool ipv6 = false;
    std::uint16_t identifier = 0;  // a datagram socket's is the kernel's
    bool used = false;             // a request has gone out on it
    std::vector<int> spares;       // datagram: fresh sockets for the requests to come
    int openError = 0;             // why no socket could be opened
  };
  struct Request {
    const IcmpSocket* socket;
    std::uint16_t sequence;
    IpAddress address;
    std::int64_t sentAtNs;  // monotonic
    bool errorRaised;
    int strayErrors;  // errors read on its socket that were not about it
  };

  std::optional<IpAddress> ResolveName(const std::string& name) override;
  void ForgetCurrentRequest() override;
  bool TakeFreshDatagramSocket(IcmpSocket& socket);
  bool SetErrorReports(const IcmpSocket& socket, bool on);
  void StopErrors(const IcmpSocket& socket);
  bool Send(const IcmpSocket& socket, const std::vector<unsigned char>& packet, const IpAddress& address);
  bool ReadPacket(const IcmpSocket& socket);
  bool ReadQueuedError(const IcmpSocket& socket);
  void Raise(const IcmpSocket& socket, const IcmpVerdict& verdict, const IpAddress& source,
             std::int64_t receivedAtNs);

  IcmpSocket ipv4_;
  IcmpSocket ipv6_;
  std::uint16_t nextSequence_ = 0;
  std::optional<Request> current_;
};

}  // namespace korvane
