#pragma once
// What tells ICMP over IPv4 from ICMPv6 on Linux, in one description per
// family: the control's code is the same for both and reads these.
#include <sys/socket.h>

#include <cstdint>

#include "icmp/awaited_request.h"
#include "icmp/ip_address.h"

namespace korvane {

struct IcmpFamily {
  int domain;    // AF_INET, AF_INET6
  int protocol;  // IPPROTO_ICMP, IPPROTO_ICMPV6
  std::uint8_t echoRequest;
  // The option that turns a datagram socket's error queue on, its level, and
  // the origin the kernel gives the ICMP errors queued there.
  int errorLevel;
  int errorOption;
  std::uint8_t errorOrigin;
  // What a raw socket hands over (IPv4: the whole datagram), and what a
  // datagram socket does (the ICMP message alone).
  Classifier classifyRaw;
  Classifier classifyDatagram;
  // Lets only echo replies and the errors that can be about a request into a
  // raw socket (requestTypes), or none of the types a request can be
  // answered with. A cheap switch, unlike a new kernel filter. False when
  // that cannot be set.
  bool (*setRawSocketTypes)(int fd, bool requestTypes);
};

extern const IcmpFamily kIcmpOverIpv4;
extern const IcmpFamily kIcmpOverIpv6;

// The socket address of an address of the family; returns its length.
socklen_t ToSocketAddress(const IpAddress& address, sockaddr_storage& socketAddress);
// The address in a socket address of either family, with its zone's index.
IpAddress FromSocketAddress(const sockaddr_storage& socketAddress);

}  // namespace korvane
