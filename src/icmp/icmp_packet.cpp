#include "icmp/icmp_packet.h"

#include <algorithm>

namespace korvane {
namespace {

constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kMinimumIpv4HeaderSize = 20;
constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::uint8_t kNextHeaderIcmp6 = 58;
constexpr std::size_t kIpv6HeaderSize = 40;

std::uint16_t Read16(const unsigned char* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

std::uint32_t Read32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The IPv4 header's length when the bytes begin with a plausible IPv4 header
// of an ICMP packet, else 0.
std::size_t Ipv4IcmpHeaderSize(Bytes packet) {
  if (packet.size() < kMinimumIpv4HeaderSize || (packet[0] >> 4) != 4) return 0;
  if (packet[9] != kProtocolIcmp) return 0;
  const std::size_t headerSize = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  if (headerSize < kMinimumIpv4HeaderSize || packet.size() < headerSize) return 0;
  return headerSize;
}

// An echo reply (code 0) with our identifier that echoes our payload exactly.
bool IsOurReply(Bytes message, std::uint16_t identifier, Bytes payload) {
  return message[1] == 0 && Read16(&message[4]) == identifier &&
         EchoesPayload(message.subspan(kIcmpHeaderSize), payload);
}

// Our echo request as an error quotes it: type 8 (128 for ICMPv6), code 0,
// our identifier.
bool IsOurRequest(Bytes request, std::uint8_t requestType, std::uint16_t identifier) {
  return request.size() >= kIcmpHeaderSize && request[0] == requestType && request[1] == 0 &&
         Read16(&request[4]) == identifier;
}

// An ICMP error quotes the IP header of the datagram it is about and at least
// the first eight bytes of what that datagram carried.
IcmpVerdict ClassifyError(Bytes message, std::uint16_t identifier) {
  const Bytes quoted = message.subspan(kIcmpHeaderSize);
  const std::size_t headerSize = Ipv4IcmpHeaderSize(quoted);
  if (headerSize == 0) return {};
  const Bytes request = quoted.subspan(headerSize);
  if (!IsOurRequest(request, kIcmpEchoRequest, identifier)) return {};
  return {IcmpVerdict::Kind::Error, Read16(&request[6]), IpAddress::Ipv4(Read32(&quoted[16]))};
}

// An ICMPv6 error quotes as much of the offending packet as fits: its IPv6
// header, here followed directly by our echo request.
IcmpVerdict ClassifyError6(Bytes message, std::uint16_t identifier) {
  const Bytes quoted = message.subspan(kIcmpHeaderSize);
  if (quoted.size() < kIpv6HeaderSize || (quoted[0] >> 4) != 6 || quoted[6] != kNextHeaderIcmp6) return {};
  const Bytes request = quoted.subspan(kIpv6HeaderSize);
  if (!IsOurRequest(request, kIcmp6EchoRequest, identifier)) return {};
  return {IcmpVerdict::Kind::Error, Read16(&request[6]), IpAddress::Ipv6(&quoted[24])};
}

}  // namespace

bool EchoesPayload(Bytes echoed, Bytes payload) { return std::ranges::equal(echoed, payload); }

bool IsRequestError(std::uint8_t icmpType) {
  return icmpType == kIcmpDestinationUnreachable || icmpType == kIcmpTimeExceeded ||
         icmpType == kIcmpParameterProblem;
}

bool IsRequestError6(std::uint8_t icmpType) {
  return icmpType == kIcmp6DestinationUnreachable || icmpType == kIcmp6PacketTooBig ||
         icmpType == kIcmp6TimeExceeded || icmpType == kIcmp6ParameterProblem;
}

std::uint16_t InternetChecksum(Bytes data) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < data.size(); i += 2)
    sum += Read16(&data[i]);
  if (i < data.size()) sum += static_cast<std::uint32_t>(data[i] << 8);
  while (sum >> 16)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

std::vector<unsigned char> EchoRequest(std::uint16_t identifier, std::uint16_t sequence, Bytes payload,
                                       std::uint8_t type) {
  std::vector<unsigned char> packet(kIcmpHeaderSize + payload.size());
  packet[0] = type;
  packet[4] = static_cast<unsigned char>(identifier >> 8);
  packet[5] = static_cast<unsigned char>(identifier);
  packet[6] = static_cast<unsigned char>(sequence >> 8);
  packet[7] = static_cast<unsigned char>(sequence);
  std::ranges::copy(payload, packet.begin() + kIcmpHeaderSize);
  if (type == kIcmp6EchoRequest) return packet;
  const std::uint16_t checksum = InternetChecksum(packet);
  packet[2] = static_cast<unsigned char>(checksum >> 8);
  packet[3] = static_cast<unsigned char>(checksum);
  return packet;
}

IcmpVerdict ClassifyIcmpMessage(Bytes message, std::uint16_t identifier, Bytes payload) {
  if (message.size() < kIcmpHeaderSize || InternetChecksum(message) != 0) return {};
  const std::uint8_t type = message[0];
  if (type == kIcmpEchoReply) {
    if (!IsOurReply(message, identifier, payload)) return {};
    return {IcmpVerdict::Kind::EchoReply, Read16(&message[6]), {}};
  }
  if (IsRequestError(type)) return ClassifyError(message, identifier);
  return {};  // our own request seen again on loopback, redirects, and everything else
}

IcmpVerdict ClassifyIpv4Datagram(Bytes datagram, std::uint16_t identifier, Bytes payload) {
  const std::size_t headerSize = Ipv4IcmpHeaderSize(datagram);
  if (headerSize == 0) return {};
  // Bytes beyond the datagram's stated length are not part of it; a datagram
  // longer than what was read was cut and cannot be checked.
  const std::size_t totalLength = Read16(&datagram[2]);
  if (totalLength < headerSize || totalLength > datagram.size()) return {};
  return ClassifyIcmpMessage(datagram.subspan(headerSize, totalLength - headerSize), identifier, payload);
}

IcmpVerdict ClassifyIcmpv6Message(Bytes message, std::uint16_t identifier, Bytes payload) {
  if (message.size() < kIcmpHeaderSize) return {};
  const std::uint8_t type = message[0];
  if (type == kIcmp6EchoReply) {
    if (!IsOurReply(message, identifier, payload)) return {};
    return {IcmpVerdict::Kind::EchoReply, Read16(&message[6]), {}};
  }
  if (IsRequestError6(type)) return ClassifyError6(message, identifier);
  return {};
}

IcmpVerdict ClassifyQueuedError(std::uint8_t icmpType, const IpAddress& quotedDestination,
                                Bytes quotedRequest, std::uint16_t identifier) {
  const bool v6 = quotedDestination.IsIpv6();
  if (!(v6 ? IsRequestError6(icmpType) : IsRequestError(icmpType))) return {};
  if (!IsOurRequest(quotedRequest, v6 ? kIcmp6EchoRequest : kIcmpEchoRequest, identifier)) return {};
  return {IcmpVerdict::Kind::Error, Read16(&quotedRequest[6]), quotedDestination};
}

}  // namespace korvane
