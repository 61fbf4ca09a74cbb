#include "icmp/linux_icmp_control.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
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

#include "core/run_state.h"
#include "icmp/bounded_resolver.h"
#include "icmp/socket_filter.h"
#include "platform/standard_streams.h"

namespace korvane {
namespace {

constexpr std::size_t kPayloadSize = 56;
// More than any reply or error of ours can be; larger packets are cut.
constexpr std::size_t kReceiveBufferSize = 2048;
// Room in the kernel for what passes the filter while the checker works.
constexpr int kSocketBufferBytes = 1 << 20;
// Bounds the work of one pump, whatever floods the sockets.
constexpr int kMaxPacketsPerPump = 256;
// Errors on a datagram socket that carry its identifier but are not about the
// request it waits for (another sequence or destination, a redirect): past
// this many, error reports stop for the request, so that a flood of them
// costs no more; no real network sends so many about one echo request.
constexpr int kMaxStrayErrors = 32;
// Messages dropped at most when a raw socket is readied for a request: more
// than its queue can hold of the smallest packets.
constexpr int kDiscardBatch = 64;
constexpr int kMaxDiscardBatches = 64;

bool SetOption(int fd, int level, int option, int value) {
  return setsockopt(fd, level, option, &value, sizeof value) == 0;
}

// Replaces the socket's kernel filter at once: what arrives from then on is
// judged by the new one; what is queued stays.
bool AttachFilter(int fd, std::vector<sock_filter> program) {
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

// Reads a pending socket error, which clears it.
void ClearPendingError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
}

// Reads and drops what waits in a socket's queue, up to a bound.
void Discard(int fd) {
  mmsghdr batch[kDiscardBatch]{};  // no buffers: each message is read cut to nothing
  for (int i = 0; i < kMaxDiscardBatches; ++i) {
    if (recvmmsg(fd, batch, kDiscardBatch, MSG_DONTWAIT, nullptr) < kDiscardBatch) return;
  }
}

// A datagram ICMP socket's identifier is its "port", which the kernel puts
// into our requests; it hands the socket only replies and errors that carry
// it. A socket that cannot be bound has none and is of no use.
std::optional<std::uint16_t> BindForIdentifier(int fd, bool ipv6) {
  sockaddr_storage local{};
  local.ss_family = ipv6 ? AF_INET6 : AF_INET;
  socklen_t length = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return std::nullopt;
  }
  return ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

// A raw socket sees every ICMP packet the host receives: the type filter and
// the kernel filter keep everything out of its queue until a request is
// sent. A raw socket whose filters cannot be set is not used.
bool FilterRawSocket(int fd, bool ipv6) {
  if (ipv6) {
    icmp6_filter types;
    ICMP6_FILTER_SETBLOCKALL(&types);
    for (const int type : {kIcmp6EchoReply, kIcmp6DestinationUnreachable, kIcmp6PacketTooBig,
                           kIcmp6TimeExceeded, kIcmp6ParameterProblem}) {
      ICMP6_FILTER_SETPASS(type, &types);
    }
    if (setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &types, sizeof types) != 0) return false;
  } else {
    icmp_filter types{};
    types.data = ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) | (1U << ICMP_TIME_EXCEEDED) |
                   (1U << ICMP_PARAMETERPROB));
    if (setsockopt(fd, SOL_RAW, ICMP_FILTER, &types, sizeof types) != 0) return false;
  }
  return AttachFilter(fd, NothingFilter());
}

// Once the sockets are open the program needs no privilege beyond the
// caller's: a set-uid program becomes its real user, and capabilities are
// given up. The process is made non-dumpable, so that no other process of the
// same user can trace it or copy its socket (pidfd_getfd) and send forged
// packets with it. Where any of this fails the program ends at once, with 0,
// rather than go on holding what it meant to give up.
[[noreturn]] void EndUnprivilegedFailed(const char* what) {
  ReportToStandardError(std::string("cannot give up privilege (") + what + " failed): the run ends here");
  std::_Exit(0);
}

void DropPrivileges() {
  if (getegid() != getgid() && setgid(getgid()) != 0) EndUnprivilegedFailed("setgid");
  if (geteuid() != getuid() && setuid(getuid()) != 0) EndUnprivilegedFailed("setuid");
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) EndUnprivilegedFailed("making the process non-dumpable");
  if (getuid() == 0) return;  // started by root: nothing was granted to give up
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, none) != 0) EndUnprivilegedFailed("capset");
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

// One message read from a socket, with its address and the kernel's notes.
struct Received {
  unsigned char data[kReceiveBufferSize];
  alignas(cmsghdr) unsigned char control[512];
  sockaddr_storage address{};
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

  IpAddress Address() const {
    if (address.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
      return IpAddress::Ipv6(v6->sin6_addr.s6_addr, v6->sin6_scope_id);
    }
    return IpAddress::Ipv4(ntohl(reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr));
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
  for (IcmpSocket* socket : {&ipv4_, &ipv6_}) {
    socket->ipv6 = socket == &ipv6_;
    const int family = socket->ipv6 ? AF_INET6 : AF_INET;
    const int protocol = socket->ipv6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP};
    // A fresh datagram socket for each request: opened now, while the
    // permission to open them lasts.
    int datagramError = 0;
    for (int i = 0; i < kMaxHosts; ++i) {
      const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
      if (fd < 0) {
        datagramError = errno;
        break;
      }
      socket->spares.push_back(fd);
    }
    if (TakeFreshDatagramSocket(*socket)) {
      socket->kind = SocketKind::Datagram;
      continue;
    }
    socket->fd = ::socket(family, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    // A raw socket is refused without privilege before anything else is
    // looked at: the datagram socket's failure says more, unless it too was
    // a matter of permission.
    socket->openError =
        errno == EPERM && datagramError != 0 && datagramError != EACCES ? datagramError : errno;
    if (socket->fd < 0) continue;
    if (!FilterRawSocket(socket->fd, socket->ipv6)) {
      socket->openError = errno;
      close(socket->fd);
      socket->fd = -1;
      continue;
    }
    socket->kind = SocketKind::Raw;
    socket->identifier = static_cast<std::uint16_t>(random());
    // Without these the round-trip time is taken when the reply is read,
    // and the queue has the kernel's default room: worse, not unsafe.
    SetOption(socket->fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
    SetOption(socket->fd, SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
    Discard(socket->fd);  // what came in before the filter was set
  }
  DropPrivileges();
}

LinuxIcmpControl::~LinuxIcmpControl() {
  for (const IcmpSocket* socket : {&ipv4_, &ipv6_}) {
    if (socket->fd >= 0) close(socket->fd);
    for (const int spare : socket->spares)
      close(spare);
  }
}

// A fresh datagram socket has an identifier of its own, so nothing about an
// earlier request (late replies, errors, a pending error) can reach it, and
// once the earlier socket is closed the kernel drops whatever still comes
// for that one. Error reports are off until a request goes out. With no
// spare left that can be bound, the socket in use stays.
bool LinuxIcmpControl::TakeFreshDatagramSocket(IcmpSocket& socket) {
  while (!socket.spares.empty()) {
    const int fd = socket.spares.back();
    socket.spares.pop_back();
    const std::optional<std::uint16_t> identifier = BindForIdentifier(fd, socket.ipv6);
    if (!identifier) {
      close(fd);
      continue;
    }
    SetOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
    SetOption(fd, SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
    if (socket.fd >= 0) close(socket.fd);
    socket.fd = fd;
    socket.identifier = *identifier;
    socket.used = false;
    return true;
  }
  return false;
}

// On a datagram socket every ICMP error about a request of ours is queued on
// the error queue, beside the replies and charged to the same room, and
// becomes the socket's pending error, which the next send or read reports in
// place of its own result. Turning the reports off also empties the error
// queue.
bool LinuxIcmpControl::SetErrorReports(const IcmpSocket& socket, bool on) {
  return socket.ipv6 ? SetOption(socket.fd, SOL_IPV6, IPV6_RECVERR, on)
                     : SetOption(socket.fd, SOL_IP, IP_RECVERR, on);
}

// Nothing more about the request on this socket can change its outcome but a
// reply: no error is let in any more. (Should that fail, further errors are
// read and passed over, at the pump's bounded pace, as before.) On a datagram
// socket it needs no request: there it also quiets a socket between requests.
void LinuxIcmpControl::StopErrors(const IcmpSocket& socket) {
  if (socket.kind == SocketKind::Raw) {
    AttachFilter(socket.fd, RequestFilter(current_->address, socket.identifier, current_->sequence, false));
  } else {
    SetErrorReports(socket, false);
    ClearPendingError(socket.fd);
  }
}

// Between requests the sockets let nothing in: a raw one through its filter,
// a datagram one by giving way to a fresh socket (or, with none left, by
// reporting no errors).
void LinuxIcmpControl::ForgetCurrentRequest() {
  current_.reset();
  for (IcmpSocket* socket : {&ipv4_, &ipv6_}) {
    if (!socket->used) continue;
    if (socket->kind == SocketKind::Raw) {
      // Should this fail, the next send discards what came in meanwhile.
      AttachFilter(socket->fd, NothingFilter());
    } else if (!TakeFreshDatagramSocket(*socket)) {
      AttachFilter(socket->fd, NothingFilter());
      StopErrors(*socket);
    }
    socket->used = false;
  }
}

std::optional<IpAddress> LinuxIcmpControl::ResolveName(const std::string& name) {
  return ResolveHost(name, kResolveTimeLimitMs);
}

void LinuxIcmpControl::SendEcho(const std::string& addressText) {
  const std::optional<IpAddress> address = Aim(addressText);
  if (!address) FailSend("no address to send to");
  IcmpSocket& socket = address->IsIpv6() ? ipv6_ : ipv4_;
  if (socket.fd < 0) FailSendWithoutSocket(socket.ipv6, socket.openError);

  const std::uint16_t sequence = nextSequence_++;
  socket.used = true;
  if (socket.kind == SocketKind::Raw) {
    // From now on only this request's replies and errors are let in; what
    // the queue holds came earlier and is not about it. Without its filter
    // the socket is not used.
    if (!AttachFilter(socket.fd, RequestFilter(*address, socket.identifier, sequence, true))) {
      FailSend("kernel filter not set");
    }
    Discard(socket.fd);
  } else {
    // Only this request's replies from where it went take room in the queue.
    if (!AttachFilter(socket.fd, DatagramReplyFilter(*address, socket.identifier, sequence))) {
      FailSend("kernel filter not set");
    }
    SetErrorReports(socket, true);
  }
  const std::vector<unsigned char> packet = EchoRequest(socket.identifier, sequence, kPayloadSize,
                                                        socket.ipv6 ? kIcmp6EchoRequest : kIcmpEchoRequest);
  const std::int64_t sentAtNs = Nanoseconds(CLOCK_MONOTONIC);
  if (!Send(socket, packet, *address)) FailSend("echo request not sent");
  current_ = Request{&socket, sequence, *address, sentAtNs, false, 0};
}

// A send fails with an ICMP error the network reported about an earlier
// packet when that error is still pending on the socket; the send then
// reports it and clears it. So a failed send is tried once more after the
// pending error is cleared: only a second failure is this request's own.
bool LinuxIcmpControl::Send(const IcmpSocket& socket, const std::vector<unsigned char>& packet,
                            const IpAddress& address) {
  sockaddr_storage destination{};
  socklen_t length = 0;
  if (socket.ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&destination);
    v6->sin6_family = AF_INET6;
    std::memcpy(v6->sin6_addr.s6_addr, address.bytes.data(), 16);
    v6->sin6_scope_id = address.scopeId;
    length = sizeof *v6;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&destination);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(address.Ipv4HostOrder());
    length = sizeof *v4;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    const ssize_t sent = sendto(socket.fd, packet.data(), packet.size(), 0,
                                reinterpret_cast<const sockaddr*>(&destination), length);
    if (sent == static_cast<ssize_t>(packet.size())) return true;
    ClearPendingError(socket.fd);
  }
  return false;
}

std::vector<std::intptr_t> LinuxIcmpControl::WaitObjects() const {
  std::vector<std::intptr_t> fds;
  for (const IcmpSocket* socket : {&ipv4_, &ipv6_}) {
    if (socket->fd >= 0) fds.push_back(socket->fd);
  }
  return fds;
}

bool LinuxIcmpControl::DeliverPendingEvents() {
  DeliverSendFailure();
  // Replies and queued errors of both sockets are read in turn, so that no
  // queue can starve another, up to a fixed amount of work per pump.
  for (int budget = kMaxPacketsPerPump; budget > 0;) {
    int read = 0;
    for (const IcmpSocket* socket : {&ipv4_, &ipv6_}) {
      if (socket->fd < 0) continue;
      read += ReadPacket(*socket);
      if (socket->kind == SocketKind::Datagram) read += ReadQueuedError(*socket);
    }
    if (read == 0) return false;
    budget -= read;
  }
  return true;
}

bool LinuxIcmpControl::ReadPacket(const IcmpSocket& socket) {
  Received received;
  ssize_t size = received.From(socket.fd, 0);
  // Any error but EAGAIN is one the kernel reports once in place of a packet
  // (an ICMP error on a datagram socket, whose details wait in the error
  // queue). The packet behind it is read at once, so that errors coming
  // faster than the pump reads cannot hold a reply back.
  if (size < 0 && errno != EAGAIN && errno != EWOULDBLOCK) size = received.From(socket.fd, 0);
  if (size < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
  const std::int64_t receivedAtNs = ReceivedAtMonotonicNs(received.message);
  const Bytes packet(received.data, static_cast<std::size_t>(size));
  // A raw ICMP socket hands over the IP header too; the others do not.
  const IcmpVerdict verdict = socket.ipv6 ? ClassifyIcmpv6Message(packet, socket.identifier)
                              : socket.kind == SocketKind::Raw
                                  ? ClassifyIpv4Datagram(packet, socket.identifier)
                                  : ClassifyIcmpMessage(packet, socket.identifier);
  Raise(socket, verdict, received.Address(), receivedAtNs);
  return true;
}

bool LinuxIcmpControl::ReadQueuedError(const IcmpSocket& socket) {
  Received received;  // its address: where the request the error is about was sent
  const ssize_t size = received.From(socket.fd, MSG_ERRQUEUE);
  if (size < 0) return false;
  const int level = socket.ipv6 ? SOL_IPV6 : SOL_IP;
  const int type = socket.ipv6 ? IPV6_RECVERR : IP_RECVERR;
  const int origin = socket.ipv6 ? SO_EE_ORIGIN_ICMP6 : SO_EE_ORIGIN_ICMP;
  for (cmsghdr* c = CMSG_FIRSTHDR(&received.message); c; c = CMSG_NXTHDR(&received.message, c)) {
    if (c->cmsg_level != level || c->cmsg_type != type) continue;
    sock_extended_err error;
    std::memcpy(&error, CMSG_DATA(c), sizeof error);
    if (error.ee_origin != origin) continue;
    // The queued data is our request as the error quoted it.
    Raise(socket,
          ClassifyQueuedError(error.ee_type, received.Address(),
                              Bytes(received.data, static_cast<std::size_t>(size)), socket.identifier),
          {}, 0);
  }
  if (current_ && current_->socket == &socket && !current_->errorRaised &&
      ++current_->strayErrors == kMaxStrayErrors) {
    StopErrors(socket);
  }
  return true;
}

// Only the request waited for now raises events: its replies, each one, and
// its first error, when that error quotes the address the request went to.
void LinuxIcmpControl::Raise(const IcmpSocket& socket, const IcmpVerdict& verdict, const IpAddress& source,
                             std::int64_t receivedAtNs) {
  if (!sink_ || !current_ || current_->socket != &socket || verdict.sequence != current_->sequence) return;
  if (verdict.kind == IcmpVerdict::Kind::EchoReply) {
    // A reply from the very address we sent to is written as Target is,
    // with the zone as the host text gave it.
    const bool fromTarget =
        source.SameHostAs(current_->address) && source.scopeId == current_->address.scopeId;
    sink_->OnResponse(FormatAddress(fromTarget ? current_->address : source),
                      ElapsedWholeMs(current_->sentAtNs, receivedAtNs));
  } else if (verdict.kind == IcmpVerdict::Kind::Error && !current_->errorRaised &&
             verdict.quotedDestination.SameHostAs(current_->address)) {
    current_->errorRaised = true;
    StopErrors(socket);
    sink_->OnError();
  }
}

}  // namespace korvane
