// What the ping control makes of the packets that reach its socket, on
// crafted packets: ours, others', forged, corrupted and cut short. On Linux
// the same packets also go through the raw socket's kernel filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "icmp/icmp_packet.h"
#ifdef __linux__
#include <sys/socket.h>
#include <unistd.h>

#include "icmp/socket_filter.h"
#endif

namespace korvane {
namespace {

using Packet = std::vector<unsigned char>;
using Kind = IcmpVerdict::Kind;

constexpr std::uint16_t kOurId = 0x1234;
constexpr std::uint32_t kHost = 0xC0000207;   // 192.0.2.7
constexpr std::uint32_t kLocal = 0xC0000201;  // 192.0.2.1

void Put16(Packet& p, std::size_t at, std::uint16_t v) {
  p[at] = static_cast<unsigned char>(v >> 8);
  p[at + 1] = static_cast<unsigned char>(v);
}

void Put32(Packet& p, std::size_t at, std::uint32_t v) {
  Put16(p, at, static_cast<std::uint16_t>(v >> 16));
  Put16(p, at + 2, static_cast<std::uint16_t>(v));
}

void FixChecksum(Packet& icmp) {
  Put16(icmp, 2, 0);
  Put16(icmp, 2, InternetChecksum(icmp));
}

// An IPv4 datagram around a payload; optionWords adds 4-byte option words.
Packet Ipv4(std::uint32_t from, std::uint32_t to, const Packet& payload, std::uint8_t protocol = 1,
            int optionWords = 0) {
  const std::size_t header = 20 + 4 * static_cast<std::size_t>(optionWords);
  Packet p(header);
  p[0] = static_cast<unsigned char>(0x40 | (header / 4));
  Put16(p, 2, static_cast<std::uint16_t>(header + payload.size()));
  p[8] = 64;
  p[9] = protocol;
  Put32(p, 12, from);
  Put32(p, 16, to);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

Packet Echo(std::uint8_t type, std::uint16_t id, std::uint16_t sequence, std::uint8_t code = 0) {
  Packet icmp = EchoRequest(id, sequence, 56);
  icmp[0] = type;
  icmp[1] = code;
  FixChecksum(icmp);
  return icmp;
}

// An ICMP error quoting the IP header and the first bytes of a datagram.
Packet ErrorAbout(std::uint8_t type, const Packet& datagram, std::size_t quotedPayload = 8) {
  const std::size_t header = static_cast<std::size_t>(datagram[0] & 0x0F) * 4;
  const std::size_t quoted = std::min(datagram.size(), header + quotedPayload);
  Packet icmp(8 + quoted);
  icmp[0] = type;
  std::copy_n(datagram.begin(), quoted, icmp.begin() + 8);
  FixChecksum(icmp);
  return icmp;
}

Packet OurRequestTo(std::uint32_t host, std::uint16_t sequence, int optionWords = 0) {
  return Ipv4(kLocal, host, Echo(kIcmpEchoRequest, kOurId, sequence), 1, optionWords);
}

Packet FromHost(const Packet& icmp) { return Ipv4(kHost, kLocal, icmp); }

enum class Filter { Keeps, Drops, Either };

struct Case {
  std::string what;
  Packet datagram;
  IcmpVerdict verdict;
  Filter filter;
};

std::vector<Case> RawCases() {
  Packet badChecksum = FromHost(Echo(kIcmpEchoReply, kOurId, 7));
  badChecksum[25] ^= 0x01;
  Packet cut = FromHost(Echo(kIcmpEchoReply, kOurId, 7));
  cut.resize(40);
  Packet headerCut = FromHost(Echo(kIcmpEchoReply, kOurId, 7));
  headerCut.resize(24);  // type, code and checksum only
  Packet padded = FromHost(Echo(kIcmpEchoReply, kOurId, 7));
  padded.push_back(0xAB);  // beyond the stated length: not part of it
  Packet version6 = FromHost(Echo(kIcmpEchoReply, kOurId, 7));
  version6[0] = 0x65;
  Packet quotesUdp = Ipv4(kLocal, kHost, Packet(16, 0), 17);
  return {
      {"our reply", FromHost(Echo(kIcmpEchoReply, kOurId, 7)), {Kind::EchoReply, 7, 0}, Filter::Keeps},
      {"our reply after IP options", Ipv4(kHost, kLocal, Echo(kIcmpEchoReply, kOurId, 7), 1, 2),
       {Kind::EchoReply, 7, 0}, Filter::Keeps},
      {"padding after the datagram", padded, {Kind::EchoReply, 7, 0}, Filter::Keeps},
      {"another identifier", FromHost(Echo(kIcmpEchoReply, 0x4321, 7)), {}, Filter::Drops},
      {"wrong checksum", badChecksum, {}, Filter::Either},
      {"reply with code 1", FromHost(Echo(kIcmpEchoReply, kOurId, 7, 1)), {}, Filter::Drops},
      {"our own request looped back", OurRequestTo(kHost, 7), {}, Filter::Drops},
      {"datagram cut short", cut, {}, Filter::Either},
      {"ICMP header cut short", headerCut, {}, Filter::Drops},
      {"not IPv4", version6, {}, Filter::Either},
      {"nothing", {}, {}, Filter::Drops},
      {"unreachable", FromHost(ErrorAbout(kIcmpDestinationUnreachable, OurRequestTo(kHost, 9))),
       {Kind::Error, 9, kHost}, Filter::Keeps},
      {"time exceeded from a router", Ipv4(0xC6336401, kLocal, ErrorAbout(kIcmpTimeExceeded, OurRequestTo(kHost, 9))),
       {Kind::Error, 9, kHost}, Filter::Keeps},
      {"parameter problem", FromHost(ErrorAbout(kIcmpParameterProblem, OurRequestTo(kHost, 9))),
       {Kind::Error, 9, kHost}, Filter::Keeps},
      {"error quoting IP options", FromHost(ErrorAbout(kIcmpDestinationUnreachable, OurRequestTo(kHost, 9, 1))),
       {Kind::Error, 9, kHost}, Filter::Keeps},
      {"error quoting another destination", FromHost(ErrorAbout(3, OurRequestTo(0xC0000263, 9))),
       {Kind::Error, 9, 0xC0000263}, Filter::Keeps},
      {"redirect", FromHost(ErrorAbout(5, OurRequestTo(kHost, 9))), {}, Filter::Drops},
      {"source quench", FromHost(ErrorAbout(4, OurRequestTo(kHost, 9))), {}, Filter::Drops},
      {"error about another identifier",
       FromHost(ErrorAbout(3, Ipv4(kLocal, kHost, Echo(kIcmpEchoRequest, 0x4321, 9)))), {}, Filter::Drops},
      {"error about a reply of ours", FromHost(ErrorAbout(3, Ipv4(kLocal, kHost, Echo(kIcmpEchoReply, kOurId, 9)))),
       {}, Filter::Drops},
      {"error about UDP", FromHost(ErrorAbout(3, quotesUdp)), {}, Filter::Drops},
      {"error quoting too little", FromHost(ErrorAbout(3, OurRequestTo(kHost, 9), 4)), {}, Filter::Drops},
  };
}

TEST(IcmpPacket, RawDatagramsAreOursOnlyWhenEveryFieldSaysSo) {
  for (const Case& c : RawCases()) {
    EXPECT_EQ(ClassifyIpv4Datagram(c.datagram, kOurId), c.verdict) << c.what;
  }
}

TEST(IcmpPacket, DatagramSocketMessagesAndQueuedErrors) {
  Packet bad = Echo(kIcmpEchoReply, kOurId, 3);
  bad[10] ^= 0xFF;
  EXPECT_EQ(ClassifyIcmpMessage(Echo(kIcmpEchoReply, kOurId, 3), kOurId), (IcmpVerdict{Kind::EchoReply, 3, 0}));
  EXPECT_EQ(ClassifyIcmpMessage(bad, kOurId), IcmpVerdict{});
  EXPECT_EQ(ClassifyIcmpMessage(Packet{0, 0, 0xFF}, kOurId), IcmpVerdict{});

  const Packet request = Echo(kIcmpEchoRequest, kOurId, 5);
  EXPECT_EQ(ClassifyQueuedError(kIcmpTimeExceeded, kHost, request, kOurId), (IcmpVerdict{Kind::Error, 5, kHost}));
  EXPECT_EQ(ClassifyQueuedError(5, kHost, request, kOurId), IcmpVerdict{});
  EXPECT_EQ(ClassifyQueuedError(3, kHost, Echo(kIcmpEchoRequest, 0x4321, 5), kOurId), IcmpVerdict{});
  EXPECT_EQ(ClassifyQueuedError(3, kHost, Packet(request.begin(), request.begin() + 6), kOurId), IcmpVerdict{});
}

#ifdef __linux__
// The filter runs on a datagram socket pair exactly as on the raw socket: the
// data it sees begins with the IP header.
TEST(IcmpPacket, KernelFilterKeepsWhatCanBeOursAndDropsTheRest) {
  for (const Case& c : RawCases()) {
    if (c.filter == Filter::Either) continue;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    std::vector<sock_filter> program = Ipv4ReplyFilter(kOurId);
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    ASSERT_EQ(setsockopt(pair[1], SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter), 0);
    ASSERT_GE(send(pair[0], c.datagram.data(), c.datagram.size(), 0), 0);
    unsigned char buffer[2048];
    const bool kept = recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT) >= 0;
    EXPECT_EQ(kept, c.filter == Filter::Keeps) << c.what;
    close(pair[0]);
    close(pair[1]);
  }
}
#endif

}  // namespace
}  // namespace korvane
