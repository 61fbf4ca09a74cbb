#pragma once
// What an ICMPv4 packet that reached our socket means for this control: an
// echo reply to one of our requests, an error about one of our requests, or
// nothing. Bytes in, a verdict out: no socket, no clock, no state, so every
// forged, truncated or corrupted form can be tested and fuzzed on its own.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

using Bytes = std::span<const unsigned char>;

struct IcmpVerdict {
  enum class Kind { Nothing, EchoReply, Error };
  Kind kind = Kind::Nothing;
  std::uint16_t sequence = 0;
  // Errors only: the destination of the quoted request (host byte order), or
  // 0 where the error does not carry it.
  std::uint32_t quotedDestination = 0;

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

// The ones' complement sum of RFC 1071; 0 over a message whose checksum is right.
std::uint16_t InternetChecksum(Bytes data);

// An echo request with the identifier and sequence, its checksum filled in.
std::vector<unsigned char> EchoRequest(std::uint16_t identifier, std::uint16_t sequence,
                                       std::size_t payloadSize);

// A whole IPv4 datagram as a raw ICMP socket hands it over.
IcmpVerdict ClassifyIpv4Datagram(Bytes datagram, std::uint16_t identifier);

// An ICMP message without its IP header, as a datagram ICMP socket hands it over.
IcmpVerdict ClassifyIcmpMessage(Bytes message, std::uint16_t identifier);

// An entry of a datagram socket's error queue: the kernel's word on the ICMP
// type, the destination the quoted request went to, and the quoted request itself.
IcmpVerdict ClassifyQueuedError(std::uint8_t icmpType, std::uint32_t quotedDestination,
                                Bytes quotedRequest, std::uint16_t identifier);

}  // namespace korvane
