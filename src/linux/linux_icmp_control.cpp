#include "linux/linux_icmp_control.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "icmp/name_lookup.h"
#include "linux/bounded_resolver.h"
#include "linux/kernel_receive.h"
#include "linux/linux_socket_calls.h"

namespace korvane {
namespace {

// Bounds the work of one pump, whatever floods the sockets.
constexpr int kMaxPacketsPerPump = 256;
constexpr std::size_t kPayloadSize = 56;
// Random identifiers tried for a datagram socket before it is given up.
constexpr int kBindAttempts = 8;
constexpr std::array<std::uint8_t, 16> kAnyIpv6{};

// On a datagram socket every ICMP error about a request of ours is queued on
// the error queue, beside the replies and charged to the same room, and
// becomes the socket's pending error, which the next send or read reports in
// place of its own result. Turning the reports off also empties the queue.
bool SetErrorReports(int fd, const IcmpFamily& family, bool on) {
  return SetOption(fd, family.errorLevel, family.errorOption, on);
}

}  // namespace

LinuxIcmpControl::LinuxIcmpControl(Platform& platform) : IcmpControlBase(platform) {
  // What privilege opens must be opened before it is given up.
  if (platform_.HoldsGrantedPrivilege()) {
    Open(ipv4_, nullptr);
    Open(ipv6_, nullptr);
  }
  GiveUpPrivilege();
}

LinuxIcmpControl::~LinuxIcmpControl() = default;

// An unprivileged datagram socket where the kernel allows one
// (net.ipv4.ping_group_range), else a raw socket. A family without either
// turns its requests into Error events. A datagram socket opened for a
// request is bound with that request's filter already on.
void LinuxIcmpControl::Open(FamilySocket& socket, const FilteredRequest* request) {
  socket.opened = true;
  if (OpenDatagram(socket, request)) return;
  const int datagramError = socket.openError;
  Descriptor fd(
      ::socket(socket.family->domain, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, socket.family->protocol));
  if (fd < 0) {
    // A raw socket is refused without privilege before anything else is
    // looked at: the datagram socket's failure says more, unless it too was a
    // matter of permission.
    socket.openError = errno == EPERM && datagramError != EACCES ? datagramError : errno;
    return;
  }
  // The type filter and the kernel filter keep everything out of a raw
  // socket's queue until a request is sent; without them it is not used.
  if (!socket.family->setRawSocketTypes(fd, false) || !AttachFilter(fd, NothingFilter())) {
    socket.openError = errno;
    return;
  }
  unsigned char identifier[2] = {};
  FillRandom(identifier);
  socket.fd = std::move(fd);
  socket.kind = SocketKind::Raw;
  socket.identifier = static_cast<std::uint16_t>(identifier[0] << 8 | identifier[1]);
  SetReceiveOptions(socket.fd);
  Discard(socket.fd);  // what came in before the filters were set
}

// A datagram socket's identifier is its "port", which the kernel puts into
// our requests; it hands the socket only replies and errors that carry it,
// and anyone can read it in /proc/net/icmp. The socket lets nothing in before
// it is bound, and until its request is sent. A ping socket comes with
// SO_REUSEADDR on, which would let another socket bind the same identifier
// and take the replies: it is turned off first. The identifier is a random
// one, bound as it is: a bind to 0 makes the kernel search every identifier,
// which another user who holds many can stretch to many seconds. Where a few
// random ones are all taken, the bind fails with EADDRINUSE. Opened for a
// request, the socket is bound with the request's own filter (which names the
// identifier): one filter per request, each a program the kernel compiles.
bool LinuxIcmpControl::OpenDatagram(FamilySocket& socket, const FilteredRequest* request) {
  Descriptor fd(
      ::socket(socket.family->domain, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, socket.family->protocol));
  if (fd < 0) {
    socket.openError = errno;
    return false;
  }
  sockaddr_storage local{};
  socklen_t length = ToSocketAddress(
      socket.family->domain == AF_INET6 ? IpAddress::Ipv6(kAnyIpv6.data()) : IpAddress::Ipv4(INADDR_ANY),
      local);
  // sin_port and sin6_port lie at the same place.
  auto& port = reinterpret_cast<sockaddr_in*>(&local)->sin_port;
  bool bound = false;
  if (SetOption(fd, SOL_SOCKET, SO_REUSEADDR, 0)) {
    errno = EADDRINUSE;
    for (int attempt = 0; attempt < kBindAttempts && !bound && errno == EADDRINUSE; ++attempt) {
      unsigned char identifier[2] = {};
      if (!FillRandom(identifier) || (identifier[0] | identifier[1]) == 0) continue;
      std::memcpy(&port, identifier, sizeof port);  // any order: it is random
      FilteredRequest filtered = request ? *request : FilteredRequest{};
      filtered.identifier = ntohs(port);
      if (!AttachFilter(fd, request ? DatagramReplyFilter(filtered) : NothingFilter())) break;
      bound = bind(fd, reinterpret_cast<sockaddr*>(&local), length) == 0;
    }
  }
  if (!bound) {
    socket.openError = errno;
    return false;
  }
  SetReceiveOptions(fd);
  socket.fd = std::move(fd);  // the one before is closed: the kernel drops whatever still comes for it
  socket.kind = SocketKind::Datagram;
  socket.identifier = ntohs(port);
  socket.used = false;
  socket.filterSet = request != nullptr;
  socket.waiting = false;
  return true;
}

// A fresh datagram socket for each request has an identifier of its own, so
// nothing about an earlier request (late replies, errors, a pending error)
// can reach it. Where none can be had (privilege given up, identifiers or
// descriptors used up), the socket in use serves on, as quiet between
// requests as a fresh one.
void LinuxIcmpControl::TakeFreshDatagramSocket(FamilySocket& socket, const FilteredRequest& request) {
  const int error = socket.openError;
  if (!socket.noFreshSockets && OpenDatagram(socket, &request)) return;
  socket.openError = error;
  socket.noFreshSockets = true;
}

// Nothing more about the request on this socket can change its outcome but a
// reply: no error is let in any more. (Should that fail, further errors are
// read and passed over, at the pump's bounded pace.)
void LinuxIcmpControl::StopErrors(const FamilySocket& socket) {
  if (socket.kind == SocketKind::Raw) {
    AttachFilter(socket.fd, RequestFilter(current_->filtered, false));
  } else {
    SetErrorReports(socket.fd, *socket.family, false);
    ClearPendingError(socket.fd);
  }
}

// Between requests a raw socket lets nothing in, and a datagram socket no
// error, and no reply but copies of the real one to the request before (its
// filter stays: a new one costs a compilation in the kernel). Should this
// fail, the next send discards (raw) or leaves behind (a fresh datagram
// socket) what came in meanwhile.
void LinuxIcmpControl::ForgetCurrentRequest() {
  current_.reset();
  for (FamilySocket* socket : {&ipv4_, &ipv6_}) {
    if (!socket->waiting) continue;
    socket->waiting = false;
    if (socket->kind == SocketKind::Raw) {
      socket->family->setRawSocketTypes(socket->fd, false);
    } else {
      SetErrorReports(socket->fd, *socket->family, false);
      ClearPendingError(socket->fd);
    }
  }
}

NameLookup LinuxIcmpControl::ResolveName(const std::string& name) {
  Resolution resolution = ResolveHost(name, kResolveTimeLimitMs);
  if (!resolution.systemFailure.empty()) ReportResolverFailure(resolution.systemFailure);
  return {resolution.address, resolution.noSuchName};
}

void LinuxIcmpControl::SendEcho(const std::string& addressText) {
  // The deadline counts from when the request is asked for, as the wait for it does.
  const std::int64_t deadlineNs = MonotonicNowNs() + kReplyDeadlineMs * 1'000'000;
  const std::optional<IpAddress> address = Aim(addressText);
  if (!address) FailSend("no address to send to");
  FamilySocket& socket = address->IsIpv6() ? ipv6_ : ipv4_;
  FilteredRequest filtered{*address};
  if (!DrawRequestNumbers(filtered)) FailSend("no random cookie for the request");
  if (!socket.opened) Open(socket, &filtered);
  if (socket.fd < 0) FailSendWithoutSocket(address->IsIpv6(), socket.openError);
  if (socket.used && socket.kind == SocketKind::Datagram) TakeFreshDatagramSocket(socket, filtered);
  filtered.identifier = socket.identifier;
  socket.used = true;
  // Without its filter the socket is not used.
  if (!LetInRepliesTo(socket, filtered)) FailSend("kernel filter not set");

  std::vector<unsigned char> payload = EchoPayload(kPayloadSize, filtered.cookie);
  const std::vector<unsigned char> packet =
      EchoRequest(socket.identifier, filtered.sequence, payload, socket.family->echoRequest);
  sockaddr_storage destination{};
  const socklen_t length = ToSocketAddress(*address, destination);
  const std::int64_t sentAtNs = MonotonicNowNs();
  if (!SendPacket(socket.fd, packet, destination, length)) FailSend("echo request not sent");
  current_.emplace(Request{filtered, AwaitedRequest(socket.fd, *address, socket.identifier, filtered.sequence,
                                                    std::move(payload), sentAtNs, deadlineNs)});
}

// A sequence number no one can foretell from the one before, and not one an
// earlier request of the run had (an error quotes no cookie: only its
// sequence tells whose it is); the cookie from the same draw.
bool LinuxIcmpControl::DrawRequestNumbers(FilteredRequest& request) {
  std::array<unsigned char, 2 + kCookieSize> random{};
  do {
    if (!FillRandom(random)) return false;
    request.sequence = static_cast<std::uint16_t>(random[0] << 8 | random[1]);
  } while (std::find(sequencesUsed_.begin(), sequencesUsed_.end(), request.sequence) != sequencesUsed_.end());
  sequencesUsed_.push_back(request.sequence);
  std::copy(random.begin() + 2, random.end(), request.cookie.begin());
  return true;
}

// From now on only this request's replies (and, on a raw socket, its errors)
// take room in the queue; what the raw queue holds came earlier, and the
// raw socket's types are let in only once that is gone.
bool LinuxIcmpControl::LetInRepliesTo(FamilySocket& socket, const FilteredRequest& request) {
  socket.waiting = true;
  if (socket.kind == SocketKind::Datagram) {
    const bool filtered = socket.filterSet || AttachFilter(socket.fd, DatagramReplyFilter(request));
    socket.filterSet = false;
    SetErrorReports(socket.fd, *socket.family, true);
    return filtered;
  }
  if (!AttachFilter(socket.fd, RequestFilter(request, true))) return false;
  Discard(socket.fd);
  return socket.family->setRawSocketTypes(socket.fd, true);
}

std::vector<std::intptr_t> LinuxIcmpControl::WaitObjects() const {
  std::vector<std::intptr_t> fds;
  for (const FamilySocket* socket : {&ipv4_, &ipv6_}) {
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
    for (const FamilySocket* socket : {&ipv4_, &ipv6_}) {
      if (socket->fd < 0) continue;
      read += ReadMessage(*socket);
      if (socket->kind == SocketKind::Datagram) read += ReadQueuedError(*socket);
    }
    if (read == 0) return false;
    budget -= read;
  }
  return true;
}

bool LinuxIcmpControl::ReadMessage(const FamilySocket& socket) {
  Received received;
  ssize_t size = received.From(socket.fd, 0);
  // Any error but EAGAIN is one the kernel reports once in place of a packet
  // (an ICMP error on a datagram socket, whose details wait in the error
  // queue). The packet behind it is read at once, so that errors coming
  // faster than the pump reads cannot hold a reply back.
  if (size < 0 && errno != EAGAIN && errno != EWOULDBLOCK) size = received.From(socket.fd, 0);
  if (size < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
  if (!current_) return true;
  const Classifier classify =
      socket.kind == SocketKind::Raw ? socket.family->classifyRaw : socket.family->classifyDatagram;
  Raise(socket,
        current_->awaited.OnMessage(socket.fd, classify, Bytes(received.data, static_cast<std::size_t>(size)),
                                    received.Address(), received.ArrivedAtNs()));
  return true;
}

bool LinuxIcmpControl::ReadQueuedError(const FamilySocket& socket) {
  Received received;  // its address: where the request the error is about was sent
  const ssize_t size = received.From(socket.fd, MSG_ERRQUEUE);
  if (size < 0) return false;
  if (!current_) return true;
  std::optional<QueuedError> entry;
  for (cmsghdr* c = CMSG_FIRSTHDR(&received.message); c && !entry; c = CMSG_NXTHDR(&received.message, c)) {
    if (c->cmsg_level != socket.family->errorLevel || c->cmsg_type != socket.family->errorOption) continue;
    sock_extended_err error;
    std::memcpy(&error, CMSG_DATA(c), sizeof error);
    if (error.ee_origin != socket.family->errorOrigin) continue;
    // The queued data is our request as the error quoted it.
    entry =
        QueuedError{error.ee_type, received.Address(), Bytes(received.data, static_cast<std::size_t>(size))};
  }
  Raise(socket, current_->awaited.OnQueuedError(socket.fd, entry));
  return true;
}

void LinuxIcmpControl::Raise(const FamilySocket& socket, const Judgement& judgement) {
  if (judgement.stopErrors) StopErrors(socket);
  if (!sink_) return;
  if (judgement.event == Judgement::Event::Response)
    sink_->OnResponse(judgement.source, judgement.roundTripMs);
  if (judgement.event == Judgement::Event::Error) sink_->OnError();
}

}  // namespace korvane
