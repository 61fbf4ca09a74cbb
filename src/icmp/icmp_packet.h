#pragma once
// What an ICMP or ICMPv6 packet that reached our socket means for this
// control: an echo reply to one of our requests, an error about one of our
// requests, or nothing. Bytes in, a verdict out: no socket, no clock, no state, so every
// forged, truncated or corrupted form can be tested and fuzzed on its own.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "icmp/ip_address.h"

namespace korvane {

using Bytes = std::span<const unsigned char>;

struct IcmpVerdict {
  enum class Kind { Nothing, EchoReply, Error };
  Kind kind = Kind::Nothing;
  std::uint16_t sequence = 0;
  // Errors only: the destination of the quoted request.
  IpAddress quotedDestination;

  friend bool operator==(const IcmpVerdict&, const IcmpVerdict&) = default;
};

// ICMP types this control reads. Only the errors that say a request did not
// get through are taken as errors; redirects and source quench are not.
inline constexpr std::uint8_t kIcmpEchoReply = 0;
inline constexpr std::uint8_t kIcmpDestinationUnreachable = 3;
inline constexpr std::uint8_t kIcmpEchoRequest = 8;
inline constexpr std::uint8_t kIcmpTimeExceeded = 11;
inline constexpr std::uint8_t kIcmpParameterProblem = 12;
bool IsRequestError(std::uint8_t icmpType);

// ICMPv6: the same, and "packet too big" beside them.
inline constexpr std::uint8_t kIcmp6DestinationUnreachable = 1;
inline constexpr std::uint8_t kIcmp6PacketTooBig = 2;
inline constexpr std::uint8_t kIcmp6TimeExceeded = 3;
inline constexpr std::uint8_t kIcmp6ParameterProblem = 4;
inline constexpr std::uint8_t kIcmp6EchoRequest = 128;
inline constexpr std::uint8_t kIcmp6EchoReply = 129;
bool IsRequestError6(std::uint8_t icmpType);

// The ones' complement sum of RFC 1071; 0 over a message whose checksum is right.
std::uint16_t InternetChecksum(Bytes data);

// An echo request with the identifier, sequence and payload. An ICMP one gets
// its checksum; an ICMPv6 one (type 128) leaves it to the kernel, which alone
// knows the source address the checksum covers.
std::vector<unsigned char> EchoRequest(std::uint16_t identifier, std::uint16_t sequence, Bytes payload,
                                       std::uint8_t type = kIcmpEchoRequest);

// An echo reply is ours only when it carries our identifier and echoes the
// payload of our request exactly, length and bytes: payload is that payload.
bool EchoesPayload(Bytes echoed, Bytes payload);

// A whole IPv4 datagram as a raw ICMP socket hands it over.
IcmpVerdict ClassifyIpv4Datagram(Bytes datagram, std::uint16_t identifier, Bytes payload);

// An ICMP message without its IP header, as a datagram ICMP socket hands it over.
IcmpVerdict ClassifyIcmpMessage(Bytes message, std::uint16_t identifier, Bytes payload);

// An ICMPv6 message, as raw and datagram ICMPv6 sockets hand it over (without
// the IPv6 header; the kernel has checked its checksum).
IcmpVerdict ClassifyIcmpv6Message(Bytes message, std::uint16_t identifier, Bytes payload);

// An entry of a datagram socket's error queue: the kernel's word on the ICMP
// or ICMPv6 type (by the destination's family), the destination the quoted
// request went to, and the quoted request itself.
IcmpVerdict ClassifyQueuedError(std::uint8_t icmpType, const IpAddress& quotedDestination,
                                Bytes quotedRequest, std::uint16_t identifier);

}  // namespace korvane
