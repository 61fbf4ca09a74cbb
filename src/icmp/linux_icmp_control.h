#pragma once
// The ping control on Linux: one ICMP socket for the whole run, echo requests
// with this control's own identifier and sequence numbers, and events for the
// reply and the first error that belong to the request now waited for.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "icmp/control_base.h"
#include "icmp/icmp_packet.h"

namespace korvane {

class LinuxIcmpControl : public IcmpControlBase {
 public:
  enum class SocketKind { None, Datagram, Raw };

  // Opens the socket: an unprivileged ICMP datagram socket where the kernel
  // allows one (net.ipv4.ping_group_range), else a raw socket. Without either,
  // every SendEcho fails and reports an Error event. Then gives up privilege.
  LinuxIcmpControl();
  ~LinuxIcmpControl() override;
  LinuxIcmpControl(const LinuxIcmpControl&) = delete;
  LinuxIcmpControl& operator=(const LinuxIcmpControl&) = delete;

  SocketKind Kind() const { return kind_; }

  void SendEcho(const std::string& address) override;
  std::vector<std::intptr_t> WaitObjects() const override;
  bool DeliverPendingEvents() override;

 private:
  struct Request {
    std::uint16_t sequence;
    std::uint32_t address;
    std::int64_t sentAtNs;  // monotonic
    bool errorRaised;
  };

  std::optional<std::uint32_t> ResolveName(const std::string& name) override;
  void ForgetCurrentRequest() override { current_.reset(); }
  bool ReadPacket();
  bool ReadQueuedError();
  void Raise(const IcmpVerdict& verdict, std::uint32_t source, std::int64_t receivedAtNs);

  int socket_ = -1;
  SocketKind kind_ = SocketKind::None;
  std::uint16_t identifier_ = 0;
  std::uint16_t nextSequence_ = 0;
  std::optional<Request> current_;
};

}  // namespace korvane
