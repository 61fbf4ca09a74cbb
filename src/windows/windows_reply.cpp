#include "windows/windows_reply.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <cstdint>
#include <cstring>

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
  FinishedRequest finished;
  ULONG status = error;
  if (replies > 0 && ipv6) {
    Icmp6EchoReply reply;
    std::memcpy(&reply, buffer, sizeof reply);
    // The zone index is documented in network byte order, unlike the one in
    // a sockaddr_in6: either order names the target's zone.
    const ULONG scopeId =
        ntohl(reply.source.scopeId) == target.scopeId ? target.scopeId : reply.source.scopeId;
    finished.source = IpAddress::Ipv6(reply.source.address, scopeId);
    status = reply.status;
    finished.roundTripMs = static_cast<std::int32_t>(reply.roundTripTime);
    if (size >= sizeof reply + payload.size()) {
      finished.echoed = Bytes(static_cast<const unsigned char*>(buffer) + sizeof reply, payload.size());
    }
  } else if (replies > 0) {
    ICMP_ECHO_REPLY reply;
    std::memcpy(&reply, buffer, sizeof reply);
    finished.source = IpAddress::Ipv4(ntohl(reply.Address));
    status = reply.Status;
    finished.roundTripMs = static_cast<std::int32_t>(reply.RoundTripTime);
    finished.echoed = EchoedData(buffer, size, reply);
  }
  // The system's own time-out is no event; a source quench says nothing
  // about whether the host can be reached.
  using Status = FinishedRequest::Status;
  if (status == IP_REQ_TIMED_OUT || status == IP_SOURCE_QUENCH) {
    finished.status = Status::Silent;
  } else {
    finished.status = status == IP_SUCCESS ? Status::Replied : Status::Error;
  }
  return JudgeFinishedRequest(finished, target, payload);
}

}  // namespace korvane
