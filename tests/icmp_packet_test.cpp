// What the ping control makes of the packets that reach its socket, on
// crafted packets: ours, others', forged, corrupted and cut short; which of
// them count for the request waited for; and how the control is aimed and
// what it tells the administrator. On Linux the same packets also go through
// the kernel filters of both socket kinds.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime_error.h"
#include "icmp/awaited_request.h"
#include "icmp/control_base.h"
#include "icmp/icmp_packet.h"
#include "simulated_platform.h"
#ifdef __linux__
#include <sys/socket.h>
#include <unistd.h>

#include "linux/socket_filter.h"
#endif

namespace korvane {
namespace {

using Packet = std::vector<unsigned char>;
using Kind = IcmpVerdict::Kind;

constexpr std::uint16_t kOurId = 0x1234;
constexpr int kOurSocket = 3;                 // the descriptor our request went out on
constexpr std::uint32_t kHost = 0xC0000207;   // 192.0.2.7
constexpr std::uint32_t kLocal = 0xC0000201;  // 192.0.2.1

constexpr std::array<unsigned char, kCookieSize> kOurCookie = {
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF};

// The payload of our request: its cookie, then the fixed pattern.
const std::vector<unsigned char>& OurPayload() {
  static const std::vector<unsigned char> payload = EchoPayload(56, kOurCookie);
  return payload;
}

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
  Packet icmp = EchoRequest(id, sequence, OurPayload());
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

std::array<std::uint8_t, 16> Ipv6Host(std::uint8_t last = 7) {  // 2001:db8::7
  return {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
}

// An ICMPv6 error quoting an IPv6 header from us to the host, then the payload.
Packet Error6About(std::uint8_t type, const Packet& payload, std::uint8_t nextHeader = 58,
                   std::uint8_t host = 7) {
  Packet icmp(8 + 40 + payload.size());
  icmp[0] = type;
  icmp[8] = 0x60;
  Put16(icmp, 8 + 4, static_cast<std::uint16_t>(payload.size()));
  icmp[8 + 6] = nextHeader;
  icmp[8 + 7] = 64;
  const auto to = Ipv6Host(host);
  std::copy(to.begin(), to.end(), icmp.begin() + 8 + 24);
  std::copy(payload.begin(), payload.end(), icmp.begin() + 8 + 40);
  return icmp;
}

IcmpVerdict ReplyTo(std::uint16_t sequence) { return {Kind::EchoReply, sequence, {}}; }

IcmpVerdict ErrorFor(std::uint16_t sequence, std::uint32_t destination) {
  return {Kind::Error, sequence, IpAddress::Ipv4(destination)};
}

enum class Filter { Keeps, Drops, Either };

struct Case {
  std::string what;
  Packet datagram;
  IcmpVerdict verdict;
  Filter filter;
  std::uint8_t ipv6Source = 7;  // ICMPv6 rows: from 2001:db8::N (the IPv6 header is not in the message)
};

// Our reply with one byte of its cookie changed.
Packet WithOtherCookie(Packet reply, std::size_t cookieByte) {
  reply[8 + cookieByte] ^= 0x01;
  if (reply[0] == kIcmpEchoReply) FixChecksum(reply);
  return reply;
}

std::vector<Case> RawCases() {
  Packet badChecksum = FromHost(Echo(kIcmpEchoReply, kOurId, 9));
  badChecksum[23] ^= 0x01;  // the checksum's low byte
  Packet cut = FromHost(Echo(kIcmpEchoReply, kOurId, 9));
  cut.resize(40);
  Packet headerCut = FromHost(Echo(kIcmpEchoReply, kOurId, 9));
  headerCut.resize(24);  // type, code and checksum only
  Packet padded = FromHost(Echo(kIcmpEchoReply, kOurId, 9));
  padded.push_back(0xAB);  // beyond the stated length: not part of it
  Packet shortLength = FromHost(Echo(kIcmpEchoReply, kOurId, 9));
  Put16(shortLength, 2, 19);  // a stated length inside its own header
  Packet version6 = FromHost(Echo(kIcmpEchoReply, kOurId, 9));
  version6[0] = 0x65;
  // UDP datagrams whose data reads like our request and our reply.
  Packet quotesUdp = Ipv4(kLocal, kHost, Echo(kIcmpEchoRequest, kOurId, 9), 17);
  Packet udp = Ipv4(kHost, kLocal, Echo(kIcmpEchoReply, kOurId, 9), 17);
  Packet shortPayload = Echo(kIcmpEchoReply, kOurId, 9);
  shortPayload.pop_back();
  FixChecksum(shortPayload);
  return {
      {"our reply", FromHost(Echo(kIcmpEchoReply, kOurId, 9)), ReplyTo(9), Filter::Keeps},
      {"our reply after IP options", Ipv4(kHost, kLocal, Echo(kIcmpEchoReply, kOurId, 9), 1, 2), ReplyTo(9),
       Filter::Keeps},
      {"padding after the datagram", padded, ReplyTo(9), Filter::Keeps},
      {"another identifier", FromHost(Echo(kIcmpEchoReply, 0x4321, 9)), {}, Filter::Drops},
      {"reply to an earlier request", FromHost(Echo(kIcmpEchoReply, kOurId, 8)), ReplyTo(8), Filter::Drops},
      {"our reply from another address", Ipv4(0xC6336401, kLocal, Echo(kIcmpEchoReply, kOurId, 9)),
       ReplyTo(9), Filter::Drops},
      {"wrong checksum", badChecksum, {}, Filter::Either},
      {"reply with another first cookie byte",
       FromHost(WithOtherCookie(Echo(kIcmpEchoReply, kOurId, 9), 0)),
       {},
       Filter::Drops},
      {"reply with another last cookie byte",
       FromHost(WithOtherCookie(Echo(kIcmpEchoReply, kOurId, 9), kCookieSize - 1)),
       {},
       Filter::Drops},
      {"reply with a payload cut short", FromHost(shortPayload), {}, Filter::Either},
      {"reply with code 1", FromHost(Echo(kIcmpEchoReply, kOurId, 9, 1)), {}, Filter::Drops},
      {"our own request looped back", OurRequestTo(kHost, 9), {}, Filter::Drops},
      {"datagram cut short", cut, {}, Filter::Either},
      {"stated length shorter than the header", shortLength, {}, Filter::Either},
      {"ICMP header cut short", headerCut, {}, Filter::Drops},
      {"not IPv4", version6, {}, Filter::Either},
      {"not ICMP", udp, {}, Filter::Either},
      {"nothing", {}, {}, Filter::Drops},
      {"unreachable", FromHost(ErrorAbout(kIcmpDestinationUnreachable, OurRequestTo(kHost, 9))),
       ErrorFor(9, kHost), Filter::Keeps},
      {"time exceeded from a router",
       Ipv4(0xC6336401, kLocal, ErrorAbout(kIcmpTimeExceeded, OurRequestTo(kHost, 9))), ErrorFor(9, kHost),
       Filter::Keeps},
      {"parameter problem", FromHost(ErrorAbout(kIcmpParameterProblem, OurRequestTo(kHost, 9))),
       ErrorFor(9, kHost), Filter::Keeps},
      {"error quoting IP options",
       FromHost(ErrorAbout(kIcmpDestinationUnreachable, OurRequestTo(kHost, 9, 1))), ErrorFor(9, kHost),
       Filter::Keeps},
      {"error quoting another destination", FromHost(ErrorAbout(3, OurRequestTo(0xC0000263, 9))),
       ErrorFor(9, 0xC0000263), Filter::Drops},
      {"error about an earlier request", FromHost(ErrorAbout(3, OurRequestTo(kHost, 8))), ErrorFor(8, kHost),
       Filter::Drops},
      {"redirect", FromHost(ErrorAbout(5, OurRequestTo(kHost, 9))), {}, Filter::Drops},
      {"source quench", FromHost(ErrorAbout(4, OurRequestTo(kHost, 9))), {}, Filter::Drops},
      {"error about another identifier",
       FromHost(ErrorAbout(3, Ipv4(kLocal, kHost, Echo(kIcmpEchoRequest, 0x4321, 9)))),
       {},
       Filter::Drops},
      {"error about a reply of ours",
       FromHost(ErrorAbout(3, Ipv4(kLocal, kHost, Echo(kIcmpEchoReply, kOurId, 9)))),
       {},
       Filter::Drops},
      {"error about UDP", FromHost(ErrorAbout(3, quotesUdp)), {}, Filter::Drops},
      {"error quoting too little", FromHost(ErrorAbout(3, OurRequestTo(kHost, 9), 4)), {}, Filter::Drops},
  };
}

// ICMPv6 messages as both kinds of ICMPv6 socket hand them over.
std::vector<Case> Icmpv6Cases() {
  const Packet request = Echo(kIcmp6EchoRequest, kOurId, 9);
  const IcmpVerdict error{Kind::Error, 9, IpAddress::Ipv6(Ipv6Host().data())};
  Packet cut = Echo(kIcmp6EchoReply, kOurId, 9);
  cut.resize(5);  // not even the whole identifier
  Packet longPayload = Echo(kIcmp6EchoReply, kOurId, 9);
  longPayload.push_back(0);
  return {
      {"our reply", Echo(kIcmp6EchoReply, kOurId, 9), ReplyTo(9), Filter::Keeps},
      {"another identifier", Echo(kIcmp6EchoReply, 0x4321, 9), {}, Filter::Drops},
      {"reply to an earlier request", Echo(kIcmp6EchoReply, kOurId, 8), ReplyTo(8), Filter::Drops},
      {"reply with code 1", Echo(kIcmp6EchoReply, kOurId, 9, 1), {}, Filter::Drops},
      {"our reply from another address", Echo(kIcmp6EchoReply, kOurId, 9), ReplyTo(9), Filter::Drops, 0x63},
      {"reply with another first cookie byte",
       WithOtherCookie(Echo(kIcmp6EchoReply, kOurId, 9), 0),
       {},
       Filter::Drops},
      {"reply with another last cookie byte",
       WithOtherCookie(Echo(kIcmp6EchoReply, kOurId, 9), kCookieSize - 1),
       {},
       Filter::Drops},
      {"reply with a longer payload", longPayload, {}, Filter::Either},
      {"our own request looped back", request, {}, Filter::Drops},
      {"cut short", cut, {}, Filter::Drops},
      {"unreachable", Error6About(kIcmp6DestinationUnreachable, request), error, Filter::Keeps},
      {"packet too big", Error6About(kIcmp6PacketTooBig, request), error, Filter::Keeps},
      {"time exceeded", Error6About(kIcmp6TimeExceeded, request), error, Filter::Keeps},
      {"parameter problem", Error6About(kIcmp6ParameterProblem, request), error, Filter::Keeps},
      {"error quoting another destination",
       Error6About(1, request, 58, 0x63),
       {Kind::Error, 9, IpAddress::Ipv6(Ipv6Host(0x63).data())},
       Filter::Drops},
      {"error about an earlier request",
       Error6About(1, Echo(kIcmp6EchoRequest, kOurId, 8)),
       {Kind::Error, 8, IpAddress::Ipv6(Ipv6Host().data())},
       Filter::Drops},
      {"redirect", Error6About(137, request), {}, Filter::Drops},
      {"error about UDP", Error6About(1, request, 17), {}, Filter::Drops},
      {"error about another identifier",
       Error6About(1, Echo(kIcmp6EchoRequest, 0x4321, 9)),
       {},
       Filter::Drops},
      {"error quoting too little",
       Error6About(1, Packet(request.begin(), request.begin() + 4)),
       {},
       Filter::Drops},
  };
}

TEST(IcmpPacket, RawDatagramsAndIcmpv6MessagesAreOursOnlyWhenEveryFieldSaysSo) {
  for (const Case& c : RawCases()) {
    EXPECT_EQ(ClassifyIpv4Datagram(c.datagram, kOurId, OurPayload()), c.verdict) << c.what;
  }
  for (const Case& c : Icmpv6Cases()) {
    EXPECT_EQ(ClassifyIcmpv6Message(c.datagram, kOurId, OurPayload()), c.verdict) << "ICMPv6 " << c.what;
  }
}

TEST(IcmpPacket, DatagramSocketMessagesAndQueuedErrors) {
  Packet bad = Echo(kIcmpEchoReply, kOurId, 3);
  bad[10] ^= 0xFF;
  EXPECT_EQ(ClassifyIcmpMessage(Echo(kIcmpEchoReply, kOurId, 3), kOurId, OurPayload()), ReplyTo(3));
  EXPECT_EQ(ClassifyIcmpMessage(bad, kOurId, OurPayload()), IcmpVerdict{});
  EXPECT_EQ(ClassifyIcmpMessage(Packet{0, 0, 0xFF}, kOurId, OurPayload()), IcmpVerdict{});

  const Packet request = Echo(kIcmpEchoRequest, kOurId, 5);
  const IpAddress host = IpAddress::Ipv4(kHost);
  EXPECT_EQ(ClassifyQueuedError(kIcmpTimeExceeded, host, request, kOurId), ErrorFor(5, kHost));
  EXPECT_EQ(ClassifyQueuedError(5, host, request, kOurId), IcmpVerdict{});
  EXPECT_EQ(ClassifyQueuedError(3, host, Echo(kIcmpEchoRequest, 0x4321, 5), kOurId), IcmpVerdict{});
  EXPECT_EQ(ClassifyQueuedError(3, host, Packet(request.begin(), request.begin() + 6), kOurId),
            IcmpVerdict{});

  // ICMPv6 errors are told by their own types, and quote an ICMPv6 request.
  const IpAddress host6 = IpAddress::Ipv6(Ipv6Host().data());
  const Packet request6 = Echo(kIcmp6EchoRequest, kOurId, 5);
  EXPECT_EQ(ClassifyQueuedError(kIcmp6PacketTooBig, host6, request6, kOurId),
            (IcmpVerdict{Kind::Error, 5, host6}));
  EXPECT_EQ(ClassifyQueuedError(kIcmpTimeExceeded, host6, request6, kOurId),
            IcmpVerdict{});  // 11: not ICMPv6's
  EXPECT_EQ(ClassifyQueuedError(kIcmp6TimeExceeded, host6, request, kOurId),
            IcmpVerdict{});  // an ICMP request
}

// Addresses as korvane writes them: the exact text the reply handler compares.
TEST(IpAddressText, Ipv6IsWrittenInItsCanonicalFormWithItsZone) {
  struct Case {
    std::array<std::uint16_t, 8> groups;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{0x2001, 0xdb8, 0, 0, 0, 0, 2, 1}, "2001:db8::2:1"},
      {{0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}, "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {{0x2001, 0, 0, 1, 0, 0, 0, 1}, "2001:0:0:1::1"},             // the longest run
      {{0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, "2001:db8::1:0:0:1"},     // the first of equal runs
      {{0x2001, 0xDB8, 0, 0, 0, 0, 0, 0xABCD}, "2001:db8::abcd"},   // lower case
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{1, 0, 0, 0, 0, 0, 0, 0}, "1::"},
      {{0, 0, 0, 0, 0, 0xFFFF, 0xC000, 0x0201}, "::ffff:192.0.2.1"},
  };
  for (const Case& c : cases) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < 8; ++i) {
      bytes[2 * i] = static_cast<std::uint8_t>(c.groups[i] >> 8);
      bytes[2 * i + 1] = static_cast<std::uint8_t>(c.groups[i]);
    }
    EXPECT_EQ(FormatIpv6(bytes), c.text);
  }
  const std::uint8_t linkLocal[16] = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(FormatAddress(IpAddress::Ipv6(linkLocal, 2, "eth0")), "fe80::1%eth0");
  EXPECT_EQ(FormatAddress(IpAddress::Ipv6(linkLocal, 4)), "fe80::1%4");
  EXPECT_EQ(FormatAddress(IpAddress::Ipv4(0xC0000207)), "192.0.2.7");
}

// One request, number 9 to the host, sent at 1 s and waited for until 6.05 s,
// and what counts for it, in
// the order things arrive: each row feeds its arrivals to a fresh request and
// checks what the last one raises.
TEST(AwaitedRequest, OnlyItsOwnRepliesAndItsFirstErrorAboutWhereItWentCount) {
  using Event = Judgement::Event;
  struct Arrival {
    Packet message;  // an ICMP message as a datagram socket reads it; empty: a queued error
    IpAddress from = IpAddress::Ipv4(kHost);
    std::int64_t atNs = 1'023'900'000;
    std::optional<QueuedError> queued = std::nullopt;
    int socket = kOurSocket;  // where it was read
  };
  const Packet request = Echo(kIcmpEchoRequest, kOurId, 9);
  const auto queued = [&](std::uint8_t type, std::uint32_t to, const Packet& quoted) {
    return Arrival{{}, {}, 0, QueuedError{type, IpAddress::Ipv4(to), quoted}};
  };
  const Arrival reply{Echo(kIcmpEchoReply, kOurId, 9)};
  const Arrival error{ErrorAbout(kIcmpDestinationUnreachable, OurRequestTo(kHost, 9))};
  const Packet requestBefore = Echo(kIcmpEchoRequest, kOurId, 8);  // outlives the spans that quote it
  const Arrival stray = queued(kIcmpDestinationUnreachable, kHost, requestBefore);
  const Judgement response{Event::Response, "192.0.2.7", 23, false};
  const Judgement firstError{Event::Error, {}, 0, true};
  struct Row {
    std::string what;
    std::vector<Arrival> arrivals;
    Judgement raised;
  };
  Packet otherCookie = reply.message;
  otherCookie[8 + 2] ^= 0xFF;
  FixChecksum(otherCookie);
  const std::vector<Arrival> strays31(31, stray);
  std::vector<Arrival> strays32 = strays31;
  strays32.push_back(stray);
  std::vector<Arrival> strays33 = strays32;
  strays33.push_back(stray);
  const std::vector<Row> rows = {
      {"its reply, 23.9 ms after it was sent", {reply}, response},
      {"each of its replies", {reply, reply}, response},
      {"its reply from another address, written as that address",
       {{reply.message, IpAddress::Ipv4(0xC6336401)}},
       {Event::Response, "198.51.100.1", 23, false}},
      {"a reply read before the send's time stamp",
       {{reply.message, IpAddress::Ipv4(kHost), 900'000'000}},
       {Event::Response, "192.0.2.7", 0, false}},
      {"its reply that arrived at the deadline",
       {{reply.message, IpAddress::Ipv4(kHost), 6'050'000'000}},
       {Event::Response, "192.0.2.7", 5050, false}},
      {"its reply that arrived after the deadline",
       {{reply.message, IpAddress::Ipv4(kHost), 6'050'000'001}},
       {}},
      {"its reply, read on another socket", {{reply.message, IpAddress::Ipv4(kHost), reply.atNs, {}, 4}}, {}},
      {"a reply to the request before", {{Echo(kIcmpEchoReply, kOurId, 8)}}, {}},
      {"a reply with another cookie", {{otherCookie}}, {}},
      {"its first error", {error}, firstError},
      {"its second error", {error, error}, {}},
      {"its first error, queued", {queued(kIcmpTimeExceeded, kHost, request)}, firstError},
      {"its first error, queued on another socket",
       {{{}, {}, 0, QueuedError{kIcmpTimeExceeded, IpAddress::Ipv4(kHost), request}, 4}},
       {}},
      {"an error quoting another destination", {queued(kIcmpTimeExceeded, 0xC0000263, request)}, {}},
      {"an error about the request before", {stray}, {}},
      {"31 errors about something else", strays31, {}},
      {"the 32nd error about something else stops the errors", strays32, {Event::None, {}, 0, true}},
      {"and the 33rd does not again", strays33, {}},
      {"a queue entry that is no ICMP error", {Arrival{}}, {}},
      {"its first error after 31 others",
       [&] {
         std::vector<Arrival> a = strays31;
         a.push_back(queued(kIcmpTimeExceeded, kHost, request));
         return a;
       }(),
       firstError},
  };
  for (const Row& row : rows) {
    AwaitedRequest awaited(kOurSocket, IpAddress::Ipv4(kHost), kOurId, 9, OurPayload(), 1'000'000'000,
                           6'050'000'000);
    Judgement raised;
    for (const Arrival& a : row.arrivals) {
      raised = a.message.empty()
                   ? awaited.OnQueuedError(a.socket, a.queued)
                   : awaited.OnMessage(a.socket, ClassifyIcmpMessage, a.message, a.from, a.atNs);
    }
    EXPECT_EQ(raised, row.raised) << row.what;
  }
}

// A request the system finished on its own time-out says nothing, one it
// finished on an error is an Error whatever its buffer holds, and one it
// finished on a reply counts, with the round trip the system measured, only
// when the reply echoes the request's payload to the byte.
TEST(AwaitedRequest, AFinishedRequestCountsByItsStatusAndOnlyWithItsPayload) {
  using Kind = EchoOutcome::Kind;
  using Status = FinishedRequest::Status;
  const std::vector<unsigned char> payload = OurPayload();
  std::vector<unsigned char> otherCookie = payload;
  otherCookie[2] ^= 0xFF;
  const struct {
    Status status;
    Bytes echoed;
    Kind kind;
  } rows[] = {{Status::Replied, payload, Kind::Reply},
              {Status::Replied, otherCookie, Kind::NotOurs},
              {Status::Replied, Bytes(payload).first(payload.size() - 1), Kind::NotOurs},
              {Status::Silent, payload, Kind::Nothing},
              {Status::Error, payload, Kind::Error}};
  for (const auto& row : rows) {
    const FinishedRequest finished{row.status, IpAddress::Ipv4(kHost), 12, row.echoed};
    const EchoOutcome outcome = JudgeFinishedRequest(finished, IpAddress::Ipv4(kHost), payload);
    EXPECT_EQ(outcome.kind, row.kind) << static_cast<int>(row.status) << " " << row.echoed.size();
    EXPECT_EQ(outcome.source, row.kind == Kind::Reply ? "192.0.2.7" : "");
    EXPECT_EQ(outcome.roundTripMs, row.kind == Kind::Reply ? 12 : 0);
  }
}

// A reply from where the request went is written as Target reads, with the
// zone as the host text gave it; one from another zone of the same link-local
// address is not the same host. A global or loopback address is one host
// whatever zone the text gave it, and its reply comes with none.
TEST(AwaitedRequest, ReplySourceKeepsTheZoneTheHostTextGave) {
  const std::uint8_t linkLocal[16] = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const IpAddress destination = IpAddress::Ipv6(linkLocal, 2, "eth0");
  EXPECT_EQ(ReplySource(IpAddress::Ipv6(linkLocal, 2), destination), "fe80::1%eth0");
  EXPECT_EQ(ReplySource(IpAddress::Ipv6(linkLocal, 3), destination), "fe80::1%3");
  const std::uint8_t uniqueLocal[16] = {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  const std::uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(ReplySource(IpAddress::Ipv6(uniqueLocal), IpAddress::Ipv6(uniqueLocal, 2, "2")), "fd00::2%2");
  EXPECT_EQ(ReplySource(IpAddress::Ipv6(loopback), IpAddress::Ipv6(loopback, 1, "1")), "::1%1");
  EXPECT_EQ(ReplySource(IpAddress::Ipv4(kHost), IpAddress::Ipv4(kHost)), "192.0.2.7");
}

// A control whose resolver knows a few names, on a simulated platform.
class AimingControl : public IcmpControlBase {
 public:
  explicit AimingControl(Platform& platform) : IcmpControlBase(platform) {}
  void SendEcho(const std::string&) override {}
  std::vector<std::intptr_t> WaitObjects() const override { return {}; }
  bool DeliverPendingEvents() override { return false; }
  void FailWithoutSocket(bool ipv6, int error) { FailSendWithoutSocket(ipv6, error); }
  void FailWithoutHandle(bool ipv6, const std::string& reason) { FailSendWithoutHandle(ipv6, reason); }
  void LetGoOfPrivilege() { GiveUpPrivilege(); }
  int forgotten = 0;

 protected:
  NameLookup ResolveName(const std::string& name) override {
    if (name == "gateway") return {IpAddress::Ipv4(0xC0000209)};
    if (name == "misspelt") return {std::nullopt, true};
    if (name == "six") {
      const std::uint8_t bytes[16] = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
      return {IpAddress::Ipv6(bytes, 3, "eth0")};
    }
    if (name.rfind("fe80::1", 0) == 0 || name == "ff02::1") {
      std::uint8_t bytes[16] = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
      if (name[1] == 'f') {
        bytes[0] = 0xFF;
        bytes[1] = 0x02;
      }
      const bool zoned = name.find('%') != std::string::npos;
      return {IpAddress::Ipv6(bytes, zoned ? 2 : 0, zoned ? "eth0" : "")};
    }
    if (name == "::ffff:192.0.2.7") {
      const std::uint8_t bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 7};
      return {IpAddress::Ipv6(bytes)};
    }
    return {};
  }
  void ForgetCurrentRequest() override { ++forgotten; }
};

// A failed aim raises ControlFailure, or NoSuchName when the name service
// said the name does not exist, or ZoneNeeded for a link-local or multicast
// address without its zone, saying which it is.
TEST(ControlAim, TargetReadsTheAddressOrElseTheTextAskedFor) {
  struct Case {
    std::string text;
    std::string target;
    std::optional<ErrorNumber> failure;
    std::string why = {};
  };
  const std::string huge = "1.2.3." + std::string(400, '9');
  const std::vector<Case> cases = {
      {"192.000.002.007", "192.0.2.7", {}},
      {"gateway", "192.0.2.9", {}},
      {"six", "2001:db8::7%eth0", {}},
      {"::ffff:192.0.2.7", "192.0.2.7", {}},  // an IPv4-mapped address is pinged over IPv4
      {"fe80::1%eth0", "fe80::1%eth0", {}},
      {"fe80::1", "fe80::1", ErrorNumber::ZoneNeeded, "a link-local address needs a zone (fe80::1%eth0)"},
      {"ff02::1", "ff02::1", ErrorNumber::ZoneNeeded, "a multicast address needs a zone (ff02::1%eth0)"},
      {"nowhere", "nowhere", ErrorNumber::ControlFailure, "cannot resolve nowhere"},
      {"misspelt", "misspelt", ErrorNumber::NoSuchName, "no such name: misspelt"},
      {huge, huge, ErrorNumber::ControlFailure, "cannot resolve " + huge},
      {"", "", ErrorNumber::ControlFailure, "cannot resolve "},
  };
  testing::SimulatedPlatform platform;
  AimingControl control(platform);
  int aims = 0;
  for (const Case& c : cases) {
    control.SetTarget("192.0.2.1");
    std::optional<ErrorNumber> failure;
    std::string why;
    try {
      control.SetTarget(c.text);
    } catch (const RuntimeError& error) {
      failure = error.number();
      why = error.what();
    }
    EXPECT_EQ(failure, c.failure) << c.text;
    EXPECT_EQ(why, c.why) << c.text;
    aims += 2;
    EXPECT_EQ(control.Target(), c.target) << c.text;
    EXPECT_EQ(control.forgotten, aims) << "every aim forgets the request waited for";
  }
}

// What the administrator reads when a family has no socket: once per run,
// whatever the reason, and the send fails.
TEST(ControlProblems, NoSocketIsNamedOncePerRunWithItsCause) {
  const std::string permission =
      "no permission to send echo requests; allow one with net.ipv4.ping_group_range, "
      "or give the binary cap_net_raw (setcap cap_net_raw+ep), or run it as root";
  const std::vector<std::pair<int, std::string>> rows = {
      {EPERM, "no ICMP socket for IPv4: " + permission},
      {EACCES, "no ICMP socket for IPv4: " + permission},
      {EADDRINUSE, "no ICMP socket for IPv4: no free ICMP identifier (every one is in use)"},
      {EMFILE, std::string("no ICMP socket for IPv4: ") + std::strerror(EMFILE)},
  };
  for (const auto& [error, reason] : rows) {
    testing::SimulatedPlatform platform;
    AimingControl control(platform);
    EXPECT_THROW(control.FailWithoutSocket(false, error), RuntimeError);
    EXPECT_THROW(control.FailWithoutSocket(true, error), RuntimeError);
    EXPECT_EQ(platform.Problems(), std::vector<std::string>{reason}) << error;
  }
  // Windows: a family without an ICMP handle is named alike, with the call
  // that failed and the system's reason.
  testing::SimulatedPlatform platform;
  AimingControl control(platform);
  EXPECT_THROW(control.FailWithoutHandle(true, "Icmp6CreateFile failed (Access is denied)"), RuntimeError);
  EXPECT_THROW(control.FailWithoutHandle(false, "IcmpCreateFile failed (Access is denied)"), RuntimeError);
  EXPECT_EQ(platform.Problems(),
            std::vector<std::string>{"no ICMP handle for IPv6: Icmp6CreateFile failed (Access is denied)"});
}

// Privilege that cannot be given up ends the run at once, with its reason.
TEST(ControlProblems, PrivilegeKeptEndsTheRun) {
  testing::SimulatedPlatform platform;
  AimingControl control(platform);
  control.LetGoOfPrivilege();
  EXPECT_TRUE(platform.Problems().empty());
  platform.SetPrivilegeFailure("setresuid");
  try {
    control.LetGoOfPrivilege();
    ADD_FAILURE() << "the run went on";
  } catch (const testing::ProgramEnded& end) {
    EXPECT_EQ(end.exitStatus, 0);
  }
  EXPECT_EQ(platform.Problems(),
            std::vector<std::string>{"cannot give up privilege (setresuid failed): the run ends here"});
}

#ifdef __linux__
// A classic BPF program run as the kernel runs a socket's filter, over the
// data the socket sees and the packet's network header (what loads at
// SKF_NET_OFF read): a load outside either ends it with a rejection, as in
// the kernel. Only the instructions the filters use; any other fails.
bool FilterKeeps(const std::vector<sock_filter>& program, Bytes data, Bytes network) {
  std::uint32_t a = 0, x = 0;
  const auto load = [&](std::int64_t at, std::size_t size, std::uint32_t& value) {
    Bytes from = data;
    if (at < 0) {
      from = network;
      at -= SKF_NET_OFF;
    }
    if (at < 0 || static_cast<std::size_t>(at) + size > from.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < size; ++i)
      value = value << 8 | from[static_cast<std::size_t>(at) + i];
    return true;
  };
  for (std::size_t pc = 0; pc < program.size(); ++pc) {
    const sock_filter& i = program[pc];
    const std::int64_t k = static_cast<std::int32_t>(i.k);
    if (BPF_CLASS(i.code) == BPF_LD && (BPF_MODE(i.code) == BPF_ABS || BPF_MODE(i.code) == BPF_IND)) {
      const std::size_t size = BPF_SIZE(i.code) == BPF_W ? 4 : BPF_SIZE(i.code) == BPF_H ? 2 : 1;
      if (!load(k + (BPF_MODE(i.code) == BPF_IND ? x : 0), size, a)) return false;
    } else if (i.code == (BPF_LDX | BPF_B | BPF_MSH)) {
      if (!load(k, 1, x)) return false;
      x = (x & 0x0F) * 4;
    } else if (i.code == (BPF_ALU | BPF_AND | BPF_K)) {
      a &= i.k;
    } else if (i.code == (BPF_ALU | BPF_LSH | BPF_K)) {
      a <<= i.k;
    } else if (i.code == (BPF_ALU | BPF_ADD | BPF_X)) {
      a += x;
    } else if (i.code == (BPF_MISC | BPF_TAX)) {
      x = a;
    } else if (i.code == (BPF_JMP | BPF_JEQ | BPF_K)) {
      pc += a == i.k ? i.jt : i.jf;
    } else if (i.code == (BPF_RET | BPF_K)) {
      return i.k != 0;
    } else {
      ADD_FAILURE() << "instruction " << i.code << " at " << pc;
      return false;
    }
  }
  ADD_FAILURE() << "no return at the end";
  return false;
}

// The IPv6 header of a message from 2001:db8::N.
Packet Ipv6HeaderFrom(std::uint8_t host) {
  Packet header(40);
  header[0] = 0x60;
  header[6] = 58;
  header[7] = 64;
  const auto from = Ipv6Host(host);
  std::copy(from.begin(), from.end(), header.begin() + 8);
  return header;
}

// The kernel itself takes the program: a datagram socket pair, whose data
// and network header both begin with what was sent. Returns whether it kept
// the data.
bool KernelKeeps(const std::vector<sock_filter>& program, const Packet& data) {
  int pair[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
  const sock_fprog filter{static_cast<unsigned short>(program.size()),
                          const_cast<sock_filter*>(program.data())};
  EXPECT_EQ(setsockopt(pair[1], SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter), 0);
  EXPECT_GE(send(pair[0], data.data(), data.size(), 0), 0);
  unsigned char buffer[2048];
  const bool kept = recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT) >= 0;
  close(pair[0]);
  close(pair[1]);
  return kept;
}

// Every row through the filters of both socket kinds, each set for our
// request number 9 to the host: a raw socket's with its errors, after its
// first error (replies only), and between requests (nothing); a datagram
// socket's (replies only: errors never pass its filter). A raw IPv4 socket
// sees the whole datagram, the others the ICMP message after the IP header.
TEST(IcmpPacket, KernelFiltersKeepOnlyWhatCanStillChangeTheRequestsOutcome) {
  const auto check = [](const std::vector<Case>& cases, const IpAddress& host) {
    const FilteredRequest request{host, kOurId, 9, kOurCookie};
    const std::vector<std::pair<std::string, std::vector<sock_filter>>> filters = {
        {"raw, errors too", RequestFilter(request, true)},
        {"raw, replies only", RequestFilter(request, false)},
        {"raw, nothing", NothingFilter()},
        {"datagram", DatagramReplyFilter(request)},
    };
    for (const auto& [kind, program] : filters) {
      const bool raw = kind.starts_with("raw");
      for (const Case& c : cases) {
        if (c.filter == Filter::Either) continue;
        Packet network = c.datagram;
        Bytes data = c.datagram;
        if (host.IsIpv6()) {
          network = Ipv6HeaderFrom(c.ipv6Source);
        } else if (!raw && data.size() >= 20) {
          data = data.subspan(static_cast<std::size_t>(data[0] & 0x0F) * 4);
        }
        const bool wanted = c.filter == Filter::Keeps && kind != "raw, nothing" &&
                            (kind == "raw, errors too" || c.verdict.kind == Kind::EchoReply);
        const bool kept = FilterKeeps(program, data, network);
        EXPECT_EQ(kept, wanted) << c.what << ", " << kind << (host.IsIpv6() ? ", ICMPv6" : "");
        if (raw && !host.IsIpv6()) {
          EXPECT_EQ(KernelKeeps(program, c.datagram), kept) << c.what << ", " << kind;
        }
      }
    }
  };
  check(RawCases(), IpAddress::Ipv4(kHost));
  check(Icmpv6Cases(), IpAddress::Ipv6(Ipv6Host().data()));
}
#endif

}  // namespace
}  // namespace korvane
