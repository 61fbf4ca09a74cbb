#include "icmp/windows_reply.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <cstring>

namespace korvane {

EchoOutcome ReadReplyBuffer(const void* buffer, bool ipv6, DWORD replies, DWORD error,
                            const IpAddress& target) {
  IpAddress source;
  ULONG status = error;
  std::int32_t roundTripMs = 0;
  if (replies > 0 && ipv6) {
    Icmp6EchoReply reply;
    std::memcpy(&reply, buffer, sizeof reply);
    source = IpAddress::Ipv6(reply.source.address, reply.source.scopeId);
    status = reply.status;
    roundTripMs = static_cast<std::int32_t>(reply.roundTripTime);
  } else if (replies > 0) {
    ICMP_ECHO_REPLY reply;
    std::memcpy(&reply, buffer, sizeof reply);
    source = IpAddress::Ipv4(ntohl(reply.Address));
    status = reply.Status;
    roundTripMs = static_cast<std::int32_t>(reply.RoundTripTime);
  }
  // The system's own time-out is no event; a source quench says nothing
  // about whether the host can be reached.
  if (status == IP_REQ_TIMED_OUT || status == IP_SOURCE_QUENCH) return {};
  if (status != IP_SUCCESS) return {EchoOutcome::Kind::Error, {}, 0};
  // The zone index is documented in network byte order, unlike the one in a
  // sockaddr_in6: either order names the target's zone.
  const bool sameZone = source.scopeId == target.scopeId || ntohl(source.scopeId) == target.scopeId;
  const bool fromTarget = source.SameHostAs(target) && sameZone;
  return {EchoOutcome::Kind::Reply, FormatAddress(fromTarget ? target : source), roundTripMs};
}

}  // namespace korvane
