#pragma once
// The ping control on Linux: one ICMP socket for the whole run, echo requests
// with this control's own identifier and sequence numbers, and events for the
// replies and errors that belong to them.
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "icmp/control_base.h"

namespace korvane {

class LinuxIcmpControl : public IcmpControlBase {
 public:
  enum class SocketKind { None, Datagram, Raw };

  // Opens the socket: an unprivileged ICMP datagram socket where the kernel
  // allows one (net.ipv4.ping_group_range), else a raw socket. Without either,
  // every SendEcho fails and reports an Error event.
  LinuxIcmpControl();
  ~LinuxIcmpControl() override;
  LinuxIcmpControl(const LinuxIcmpControl&) = delete;
  LinuxIcmpControl& operator=(const LinuxIcmpControl&) = delete;

  SocketKind Kind() const { return kind_; }

  void SendEcho(const std::string& address) override;
  void DeliverPendingEvents() override;

 private:
  struct Request {
    std::uint16_t sequence;
    timespec sentAt;
  };

  std::optional<std::uint32_t> ResolveName(const std::string& name) override;
  const Request* FindRequest(std::uint16_t identifier, std::uint16_t sequence) const;
  void ReadReplies();
  void ReadErrorQueue();
  void HandlePacket(const unsigned char* data, std::size_t size, std::uint32_t source,
                    const timespec& receivedAt);
  void HandleEchoReply(const unsigned char* icmp, std::size_t size, std::uint32_t source,
                       const timespec& receivedAt);
  void HandleIcmpError(const unsigned char* icmp, std::size_t size);

  int socket_ = -1;
  SocketKind kind_ = SocketKind::None;
  std::uint16_t identifier_ = 0;
  std::uint16_t nextSequence_ = 0;
  std::vector<Request> requests_;
};

}  // namespace korvane
