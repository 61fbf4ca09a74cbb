#include "linux/linux_icmp_family.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>

#include <cstring>

#include "icmp/icmp_packet.h"

namespace korvane {
namespace {

// The kernel lets types 32 and above through this one whatever it says; the
// kernel filter, which checks the type, drops them.
bool SetIpv4Types(int fd, bool requestTypes) {
  icmp_filter types{};
  types.data = requestTypes ? ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) |
                                (1U << ICMP_TIME_EXCEEDED) | (1U << ICMP_PARAMETERPROB))
                            : ~0U;
  return setsockopt(fd, SOL_RAW, ICMP_FILTER, &types, sizeof types) == 0;
}

bool SetIpv6Types(int fd, bool requestTypes) {
  icmp6_filter types;
  ICMP6_FILTER_SETBLOCKALL(&types);
  if (requestTypes) {
    for (const int type : {kIcmp6EchoReply, kIcmp6DestinationUnreachable, kIcmp6PacketTooBig,
                           kIcmp6TimeExceeded, kIcmp6ParameterProblem}) {
      ICMP6_FILTER_SETPASS(type, &types);
    }
  }
  return setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &types, sizeof types) == 0;
}

}  // namespace

const IcmpFamily kIcmpOverIpv4{.domain = AF_INET,
                               .protocol = IPPROTO_ICMP,
                               .echoRequest = kIcmpEchoRequest,
                               .errorLevel = SOL_IP,
                               .errorOption = IP_RECVERR,
                               .errorOrigin = SO_EE_ORIGIN_ICMP,
                               .classifyRaw = ClassifyIpv4Datagram,
                               .classifyDatagram = ClassifyIcmpMessage,
                               .setRawSocketTypes = SetIpv4Types};

// Both ICMPv6 sockets hand over the message alone; the kernel has checked
// its checksum.
const IcmpFamily kIcmpOverIpv6{.domain = AF_INET6,
                               .protocol = IPPROTO_ICMPV6,
                               .echoRequest = kIcmp6EchoRequest,
                               .errorLevel = SOL_IPV6,
                               .errorOption = IPV6_RECVERR,
                               .errorOrigin = SO_EE_ORIGIN_ICMP6,
                               .classifyRaw = ClassifyIcmpv6Message,
                               .classifyDatagram = ClassifyIcmpv6Message,
                               .setRawSocketTypes = SetIpv6Types};

socklen_t ToSocketAddress(const IpAddress& address, sockaddr_storage& socketAddress) {
  socketAddress = {};
  if (address.IsIpv6()) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&socketAddress);
    v6->sin6_family = AF_INET6;
    std::memcpy(v6->sin6_addr.s6_addr, address.bytes.data(), 16);
    v6->sin6_scope_id = address.scopeId;
    return sizeof *v6;
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(&socketAddress);
  v4->sin_family = AF_INET;
  v4->sin_addr.s_addr = htonl(address.Ipv4HostOrder());
  return sizeof *v4;
}

IpAddress FromSocketAddress(const sockaddr_storage& socketAddress) {
  if (socketAddress.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&socketAddress);
    return IpAddress::Ipv6(v6->sin6_addr.s6_addr, v6->sin6_scope_id);
  }
  return IpAddress::Ipv4(ntohl(reinterpret_cast<const sockaddr_in*>(&socketAddress)->sin_addr.s_addr));
}

}  // namespace korvane
