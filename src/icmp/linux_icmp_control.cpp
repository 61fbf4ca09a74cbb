#include "icmp/linux_icmp_control.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "icmp/bounded_resolver.h"
#include "icmp/ipv4_address.h"
#include "icmp/socket_filter.h"

namespace korvane {
namespace {

constexpr std::size_t kPayloadSize = 56;
// More than any reply or error of ours can be; larger packets are cut.
constexpr std::size_t kReceiveBufferSize = 2048;
// Room in the kernel for what passes the filter while the checker works.
constexpr int kSocketBufferBytes = 1 << 20;
// Bounds the work of one pump, whatever floods the socket.
constexpr int kMaxPacketsPerPump = 256;

int OpenIcmpSocket(int type) {
  return socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
}

void SetOption(int fd, int level, int option, int value) {
  setsockopt(fd, level, option, &value, sizeof value);
}

void AttachFilter(int fd, std::uint16_t identifier) {
  std::vector<sock_filter> program = Ipv4ReplyFilter(identifier);
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
}

// Once the socket is open the program needs no privilege beyond the caller's:
// a set-uid program becomes its real user, and capabilities are given up. The
// process is made non-dumpable, so that no other process of the same user can
// trace it or copy its socket (pidfd_getfd) and send forged packets with it.
void DropPrivileges() {
  if (getegid() != getgid() && setgid(getgid()) != 0) std::_Exit(0);
  if (geteuid() != getuid() && setuid(getuid()) != 0) std::_Exit(0);
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) std::_Exit(0);
  if (getuid() == 0) return;  // started by root: nothing was granted to give up
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capset, &header, none);
}

std::int64_t Nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// When the packet arrived, on the monotonic clock. The kernel stamps packets
// on the wall clock; the stamp's age, measured now on that same clock, is
// taken off the monotonic time, so a wall-clock step between the request and
// the reply does not change the round-trip time.
std::int64_t ReceivedAtMonotonicNs(msghdr& message) {
  const std::int64_t monotonicNow = Nanoseconds(CLOCK_MONOTONIC);
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

// One message read from the socket, with its address and the kernel's notes.
struct Received {
  unsigned char data[kReceiveBufferSize];
  alignas(cmsghdr) unsigned char control[512];
  sockaddr_in address{};
  iovec buffer{data, sizeof data};
  msghdr message{};

  ssize_t From(int fd, int flags) {
    message.msg_name = &address;
    message.msg_namelen = sizeof address;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    return recvmsg(fd, &message, flags | MSG_DONTWAIT);
  }
};

std::int32_t ElapsedWholeMs(std::int64_t fromNs, std::int64_t toNs) {
  if (toNs <= fromNs) return 0;
  const std::int64_t ms = (toNs - fromNs) / 1'000'000;
  return ms > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(ms);
}

}  // namespace

LinuxIcmpControl::LinuxIcmpControl() {
  std::random_device random;
  nextSequence_ = static_cast<std::uint16_t>(random());
  socket_ = OpenIcmpSocket(SOCK_DGRAM);
  if (socket_ >= 0) {
    kind_ = SocketKind::Datagram;
    // The kernel puts its own identifier (the socket's "port") into our
    // requests and hands us only replies and errors that carry it.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t length = sizeof local;
    bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
    identifier_ = ntohs(local.sin_port);
    SetOption(socket_, SOL_IP, IP_RECVERR, 1);
  } else if ((socket_ = OpenIcmpSocket(SOCK_RAW)) >= 0) {
    kind_ = SocketKind::Raw;
    identifier_ = static_cast<std::uint16_t>(random());
    // A raw socket sees every ICMP packet the host receives: the filter keeps
    // all but our replies and the errors about our requests out of its queue.
    icmp_filter types{};
    types.data = ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) |
                   (1U << ICMP_TIME_EXCEEDED) | (1U << ICMP_PARAMETERPROB));
    setsockopt(socket_, SOL_RAW, ICMP_FILTER, &types, sizeof types);
    AttachFilter(socket_, identifier_);
  }
  if (socket_ >= 0) {
    SetOption(socket_, SOL_SOCKET, SO_TIMESTAMPNS, 1);
    SetOption(socket_, SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
  }
  DropPrivileges();
}

LinuxIcmpControl::~LinuxIcmpControl() {
  if (socket_ >= 0) close(socket_);
}

std::optional<std::uint32_t> LinuxIcmpControl::ResolveName(const std::string& name) {
  return ResolveIpv4(name, kResolveTimeLimitMs);
}

void LinuxIcmpControl::SendEcho(const std::string& addressText) {
  const std::optional<std::uint32_t> address = Aim(addressText);
  if (!address) FailSend("no address to send to");
  if (socket_ < 0) FailSend("no ICMP socket");

  const std::uint16_t sequence = nextSequence_++;
  const std::vector<unsigned char> packet = EchoRequest(identifier_, sequence, kPayloadSize);
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = htonl(*address);
  const std::int64_t sentAtNs = Nanoseconds(CLOCK_MONOTONIC);
  const ssize_t sent = sendto(socket_, packet.data(), packet.size(), 0,
                              reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  if (sent != static_cast<ssize_t>(packet.size())) FailSend("echo request not sent");
  current_ = Request{sequence, *address, sentAtNs, false};
}

std::vector<std::intptr_t> LinuxIcmpControl::WaitObjects() const {
  if (socket_ < 0) return {};
  return {socket_};
}

bool LinuxIcmpControl::DeliverPendingEvents() {
  DeliverSendFailure();
  if (socket_ < 0) return false;
  // Replies and queued errors are read in turn, so that neither queue can
  // starve the other, up to a fixed amount of work per pump.
  for (int budget = kMaxPacketsPerPump; budget > 0;) {
    const bool readReply = ReadPacket();
    const bool readError = kind_ == SocketKind::Datagram && ReadQueuedError();
    if (!readReply && !readError) return false;
    budget -= int{readReply} + int{readError};
  }
  return true;
}

bool LinuxIcmpControl::ReadPacket() {
  Received received;
  const ssize_t size = received.From(socket_, 0);
  // Any error but EAGAIN is one the kernel reports once (an ICMP error on a
  // datagram socket, whose details wait in the error queue): read on.
  if (size < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
  const std::int64_t receivedAtNs = ReceivedAtMonotonicNs(received.message);
  const Bytes packet(received.data, static_cast<std::size_t>(size));
  const IcmpVerdict verdict = kind_ == SocketKind::Raw ? ClassifyIpv4Datagram(packet, identifier_)
                                                       : ClassifyIcmpMessage(packet, identifier_);
  Raise(verdict, ntohl(received.address.sin_addr.s_addr), receivedAtNs);
  return true;
}

bool LinuxIcmpControl::ReadQueuedError() {
  Received received;  // its address: where the request the error is about was sent
  const ssize_t size = received.From(socket_, MSG_ERRQUEUE);
  if (size < 0) return false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&received.message); c; c = CMSG_NXTHDR(&received.message, c)) {
    if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
    sock_extended_err error;
    std::memcpy(&error, CMSG_DATA(c), sizeof error);
    if (error.ee_origin != SO_EE_ORIGIN_ICMP) continue;
    // The queued data is our request as the error quoted it.
    Raise(ClassifyQueuedError(error.ee_type, ntohl(received.address.sin_addr.s_addr),
                              Bytes(received.data, static_cast<std::size_t>(size)), identifier_),
          0, 0);
  }
  return true;
}

// Only the request waited for now raises events: its replies, each one, and
// its first error, when that error quotes the address the request went to.
void LinuxIcmpControl::Raise(const IcmpVerdict& verdict, std::uint32_t source,
                             std::int64_t receivedAtNs) {
  if (!sink_ || !current_ || verdict.sequence != current_->sequence) return;
  if (verdict.kind == IcmpVerdict::Kind::EchoReply) {
    sink_->OnResponse(FormatDottedQuad(source), ElapsedWholeMs(current_->sentAtNs, receivedAtNs));
  } else if (verdict.kind == IcmpVerdict::Kind::Error && !current_->errorRaised &&
             verdict.quotedDestination == current_->address) {
    current_->errorRaised = true;
    sink_->OnError();
  }
}

}  // namespace korvane
