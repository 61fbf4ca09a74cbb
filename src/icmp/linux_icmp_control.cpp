#include "icmp/linux_icmp_control.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "icmp/bounded_resolver.h"
#include "icmp/ipv4_address.h"

namespace korvane {
namespace {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kPayloadSize = 56;
// More than any single reply or error we could be sent; larger packets are cut.
constexpr std::size_t kReceiveBufferSize = 2048;
// Bounds the work of one pump, whatever floods the socket.
constexpr int kMaxPacketsPerPump = 256;

std::uint16_t ReadBigEndian16(const unsigned char* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint16_t InternetChecksum(const unsigned char* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) sum += ReadBigEndian16(data + i);
  if (size % 2) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

int OpenIcmpSocket(int type) {
  return socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
}

void EnableOption(int fd, int level, int option) {
  const int on = 1;
  setsockopt(fd, level, option, &on, sizeof on);
}

// Once the socket is open the program needs no privilege beyond the caller's:
// a set-uid program becomes its real user, and file capabilities are given up.
void DropPrivileges() {
  if (getegid() != getgid() && setgid(getgid()) != 0) std::_Exit(0);
  if (geteuid() != getuid() && setuid(getuid()) != 0) std::_Exit(0);
  if (getuid() == 0) return;  // started by root: nothing was granted to give up
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capset, &header, none);
}

timespec RealTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

std::int32_t ElapsedWholeMs(const timespec& from, const timespec& to) {
  const long long ns = (static_cast<long long>(to.tv_sec) - from.tv_sec) * 1'000'000'000LL +
                       (to.tv_nsec - from.tv_nsec);
  if (ns <= 0) return 0;
  const long long ms = ns / 1'000'000;
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
    // requests and hands us only replies that carry it.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t length = sizeof local;
    bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
    identifier_ = ntohs(local.sin_port);
    EnableOption(socket_, SOL_IP, IP_RECVERR);
  } else if ((socket_ = OpenIcmpSocket(SOCK_RAW)) >= 0) {
    kind_ = SocketKind::Raw;
    identifier_ = static_cast<std::uint16_t>(random());
    // Let through only echo replies and the errors that can quote a request.
    icmp_filter filter{};
    filter.data = ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) |
                    (1U << ICMP_SOURCE_QUENCH) | (1U << ICMP_REDIRECT) |
                    (1U << ICMP_TIME_EXCEEDED) | (1U << ICMP_PARAMETERPROB));
    setsockopt(socket_, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  }
  if (socket_ >= 0) EnableOption(socket_, SOL_SOCKET, SO_TIMESTAMPNS);
  DropPrivileges();
}

LinuxIcmpControl::~LinuxIcmpControl() {
  if (socket_ >= 0) close(socket_);
}

std::optional<std::uint32_t> LinuxIcmpControl::ResolveName(const std::string& name) {
  return ResolveIpv4(name, kResolveTimeLimitMs);
}

void LinuxIcmpControl::SendEcho(const std::string& addressText) {
  const std::uint32_t address = AimAt(addressText);
  if (socket_ < 0) FailSend("no ICMP socket");

  const std::uint16_t sequence = nextSequence_++;
  unsigned char packet[kIcmpHeaderSize + kPayloadSize] = {kEchoRequest, 0};
  packet[4] = static_cast<unsigned char>(identifier_ >> 8);
  packet[5] = static_cast<unsigned char>(identifier_);
  packet[6] = static_cast<unsigned char>(sequence >> 8);
  packet[7] = static_cast<unsigned char>(sequence);
  for (std::size_t i = kIcmpHeaderSize; i < sizeof packet; ++i) {
    packet[i] = static_cast<unsigned char>(i);
  }
  const std::uint16_t checksum = InternetChecksum(packet, sizeof packet);
  packet[2] = static_cast<unsigned char>(checksum >> 8);
  packet[3] = static_cast<unsigned char>(checksum);

  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = htonl(address);
  const timespec sentAt = RealTimeNow();
  const ssize_t sent = sendto(socket_, packet, sizeof packet, 0,
                              reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  if (sent != static_cast<ssize_t>(sizeof packet)) FailSend("echo request not sent");
  requests_.push_back({sequence, sentAt});
}

void LinuxIcmpControl::DeliverPendingEvents() {
  DeliverSendFailures();
  if (socket_ < 0) return;
  if (kind_ == SocketKind::Datagram) ReadErrorQueue();
  ReadReplies();
}

const LinuxIcmpControl::Request* LinuxIcmpControl::FindRequest(std::uint16_t identifier,
                                                               std::uint16_t sequence) const {
  if (identifier != identifier_) return nullptr;
  for (const Request& request : requests_) {
    if (request.sequence == sequence) return &request;
  }
  return nullptr;
}

void LinuxIcmpControl::ReadReplies() {
  for (int i = 0; i < kMaxPacketsPerPump; ++i) {
    unsigned char data[kReceiveBufferSize];
    alignas(cmsghdr) unsigned char control[256];
    sockaddr_in source{};
    iovec buffer{data, sizeof data};
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t size = recvmsg(socket_, &message, MSG_DONTWAIT);
    if (size < 0) {
      // EAGAIN: nothing more. Any other error is a socket error the kernel
      // reports once (an ICMP error on a datagram socket): read on.
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (kind_ == SocketKind::Datagram) ReadErrorQueue();
      continue;
    }
    timespec receivedAt = RealTimeNow();
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        std::memcpy(&receivedAt, CMSG_DATA(c), sizeof receivedAt);
      }
    }
    HandlePacket(data, static_cast<std::size_t>(size), ntohl(source.sin_addr.s_addr), receivedAt);
  }
}

void LinuxIcmpControl::HandlePacket(const unsigned char* data, std::size_t size,
                                    std::uint32_t source, const timespec& receivedAt) {
  if (kind_ == SocketKind::Raw) {
    // A raw socket hands over the IP header too.
    if (size < 20 || (data[0] >> 4) != 4) return;
    const std::size_t headerSize = static_cast<std::size_t>(data[0] & 0x0F) * 4;
    if (headerSize < 20 || size < headerSize + kIcmpHeaderSize) return;
    data += headerSize;
    size -= headerSize;
  }
  if (size < kIcmpHeaderSize) return;
  switch (data[0]) {
    case kEchoReply:
      HandleEchoReply(data, size, source, receivedAt);
      break;
    case ICMP_DEST_UNREACH:
    case ICMP_SOURCE_QUENCH:
    case ICMP_REDIRECT:
    case ICMP_TIME_EXCEEDED:
    case ICMP_PARAMETERPROB:
      if (kind_ == SocketKind::Raw) HandleIcmpError(data, size);
      break;
    default:
      break;  // our own request seen again on loopback, and everything else
  }
}

void LinuxIcmpControl::HandleEchoReply(const unsigned char* icmp, std::size_t /*size*/,
                                       std::uint32_t source, const timespec& receivedAt) {
  // A datagram socket's replies already carry the kernel's identifier for it.
  const std::uint16_t identifier =
      kind_ == SocketKind::Datagram ? identifier_ : ReadBigEndian16(icmp + 4);
  const Request* request = FindRequest(identifier, ReadBigEndian16(icmp + 6));
  if (!request || !sink_) return;
  sink_->OnResponse(FormatDottedQuad(source), ElapsedWholeMs(request->sentAt, receivedAt));
}

void LinuxIcmpControl::HandleIcmpError(const unsigned char* icmp, std::size_t size) {
  // The error quotes the IP header and the first eight bytes of our request.
  const unsigned char* quoted = icmp + kIcmpHeaderSize;
  const std::size_t quotedSize = size - kIcmpHeaderSize;
  if (quotedSize < 20 || (quoted[0] >> 4) != 4 || quoted[9] != IPPROTO_ICMP) return;
  const std::size_t headerSize = static_cast<std::size_t>(quoted[0] & 0x0F) * 4;
  if (headerSize < 20 || quotedSize < headerSize + kIcmpHeaderSize) return;
  const unsigned char* request = quoted + headerSize;
  if (request[0] != kEchoRequest) return;
  if (!FindRequest(ReadBigEndian16(request + 4), ReadBigEndian16(request + 6))) return;
  if (sink_) sink_->OnError();
}

void LinuxIcmpControl::ReadErrorQueue() {
  for (int i = 0; i < kMaxPacketsPerPump; ++i) {
    unsigned char data[kReceiveBufferSize];
    alignas(cmsghdr) unsigned char control[512];
    iovec buffer{data, sizeof data};
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t size = recvmsg(socket_, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (size < 0) return;
    bool fromIcmp = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) {
        sock_extended_err error;
        std::memcpy(&error, CMSG_DATA(c), sizeof error);
        fromIcmp = error.ee_origin == SO_EE_ORIGIN_ICMP;
      }
    }
    // The queued data is the request the error is about.
    if (!fromIcmp || size < static_cast<ssize_t>(kIcmpHeaderSize) || data[0] != kEchoRequest) {
      continue;
    }
    if (FindRequest(identifier_, ReadBigEndian16(data + 6)) && sink_) sink_->OnError();
  }
}

}  // namespace korvane
