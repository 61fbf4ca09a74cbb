#include "windows/windows_reply.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <cstdint>
#include <cstring>

#include "icmp/awaited_request.h"

namespace korvane {
namespace {

// The data an IPv4 reply points to, where it lies inside the buffer.
Bytes EchoedData(const void* buffer, std::size_t size, const ICMP_ECHO_REPLY& reply) {
  const auto start = reinterpret_cast<std::uintptr_t>(buffer);
  const auto data = reinterpret_cast<std::uintptr_t>(reply.Data);
  if (data < start || data - start > size || reply.DataSize > size - (data - start)) return {};
  return Bytes(static_cast<const unsigned char*>(buffer) + (data - start), reply.DataSize);
}

}  // namespace

EchoOutcome ReadReplyBuffer(const void* buffer, std::size_t size, bool ipv6, DWORD replies, DWORD error,
                            const IpAddress& target, Bytes payload) {
  IpAddress source;
  ULONG status = error;
  std::int32_t roundTripMs = 0;
  Bytes echoed;
  if (replies > 0 && ipv6) {
    Icmp6EchoReply reply;
    std::memcpy(&reply, buffer, sizeof reply);
    // The zone index is documented in network byte order, unlike the one in
    // a sockaddr_in6: either order names the target's zone.
    const ULONG scopeId =
        ntohl(reply.source.scopeId) == target.scopeId ? target.scopeId : reply.source.scopeId;
    source = IpAddress::Ipv6(reply.source.address, scopeId);
    status = reply.status;
    roundTripMs = static_cast<std::int32_t>(reply.roundTripTime);
    if (size >= sizeof reply + payload.size()) {
      echoed = Bytes(static_cast<const unsigned char*>(buffer) + sizeof reply, payload.size());
    }
  } else if (replies > 0) {
    ICMP_ECHO_REPLY reply;
    std::memcpy(&reply, buffer, sizeof reply);
    source = IpAddress::Ipv4(ntohl(reply.Address));
    status = reply.Status;
    roundTripMs = static_cast<std::int32_t>(reply.RoundTripTime);
    echoed = EchoedData(buffer, size, reply);
  }
  // The system's own time-out is no event; a source quench says nothing
  // about whether the host can be reached.
  if (status == IP_REQ_TIMED_OUT || status == IP_SOURCE_QUENCH) return {};
  if (status != IP_SUCCESS) return {EchoOutcome::Kind::Error, {}, 0};
  if (!EchoesPayload(echoed, payload)) return {EchoOutcome::Kind::NotOurs, {}, 0};
  return {EchoOutcome::Kind::Reply, ReplySource(source, target), roundTripMs};
}

}  // namespace korvane
