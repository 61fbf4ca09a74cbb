#include "linux/kernel_receive.h"

#include <time.h>

#include <cstring>

#include "linux/linux_icmp_family.h"

namespace korvane {
namespace {

std::int64_t Nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

std::int64_t MonotonicNowNs() { return Nanoseconds(CLOCK_MONOTONIC); }

ssize_t Received::From(int fd, int flags) {
  message.msg_name = &address;
  message.msg_namelen = sizeof address;
  message.msg_iov = &buffer;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  return recvmsg(fd, &message, flags | MSG_DONTWAIT);
}

IpAddress Received::Address() const { return FromSocketAddress(address); }

// The kernel stamps packets on the wall clock; the stamp's age, measured now
// on that same clock, is taken off the monotonic time, so a wall-clock step
// between the request and the reply does not change the round-trip time.
std::int64_t Received::ArrivedAtNs() {
  const std::int64_t monotonicNow = MonotonicNowNs();
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      const std::int64_t age = Nanoseconds(CLOCK_REALTIME) -
                               (static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec);
      return age > 0 ? monotonicNow - age : monotonicNow;
    }
  }
  return monotonicNow;
}

}  // namespace korvane
