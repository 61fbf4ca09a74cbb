#pragma once
// One message read from an ICMP socket, with the address it came from (or,
// from an error queue, the address the quoted request went to), the kernel's
// notes on it, and when it arrived.
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "icmp/ip_address.h"

namespace korvane {

// More than any reply or error of ours can be; larger messages are cut.
inline constexpr std::size_t kReceiveBufferSize = 2048;

// Nanoseconds on the monotonic clock.
std::int64_t MonotonicNowNs();

struct Received {
  unsigned char data[kReceiveBufferSize];
  alignas(cmsghdr) unsigned char control[512];
  sockaddr_storage address{};
  iovec buffer{data, sizeof data};
  msghdr message{};

  // recvmsg without waiting; flags: 0 or MSG_ERRQUEUE.
  ssize_t From(int fd, int flags);
  IpAddress Address() const;
  // When the message arrived, on the monotonic clock: the kernel's receive
  // time stamp where the socket has them on, else now.
  std::int64_t ArrivedAtNs();
};

}  // namespace korvane
