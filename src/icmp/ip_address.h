#pragma once
// Addresses as the ping control reads, sends to and writes them: IPv4 as a
// dotted quad, IPv6 in the form of RFC 5952, with its zone.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

struct IpAddress {
  enum class Family { Ipv4, Ipv6 };
  Family family = Family::Ipv4;
  std::array<std::uint8_t, 16> bytes{};  // network order; IPv4 fills the first four
  std::uint32_t scopeId = 0;             // IPv6: the zone's interface index, 0 for none
  std::string zone;                      // IPv6: the zone as the host text wrote it

  static IpAddress Ipv4(std::uint32_t hostOrder);
  static IpAddress Ipv6(const std::uint8_t* sixteenBytes, std::uint32_t scopeId = 0, std::string zone = {});
  bool IsIpv6() const { return family == Family::Ipv6; }
  std::uint32_t Ipv4HostOrder() const;
  // An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the IPv4 address it
  // stands for, which is where its echo request goes; any other as it is.
  IpAddress Unmapped() const;
  // The same family and bytes: the host an ICMP error's quoted header names,
  // which carries no zone.
  bool SameHostAs(const IpAddress& other) const { return family == other.family && bytes == other.bytes; }
  // The zone names the link only for link-local (fe80::/10) and multicast
  // (ff00::/8) IPv6 addresses; any other is one host on every link, and a
  // reply from it carries no zone.
  bool ZoneMatters() const {
    return IsMulticast() || (IsIpv6() && bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80);
  }
  bool IsMulticast() const { return IsIpv6() && bytes[0] == 0xFF; }

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// Four groups of decimal digits separated by dots, each 0..255. Leading zeros
// are allowed and never mean octal: "127.000.000.001" and "1.2.3.0000255" are
// addresses. Returns the address in host byte order.
std::optional<std::uint32_t> ParseDottedQuad(std::string_view text);

// "a.b.c.d" for an address in host byte order.
std::string FormatDottedQuad(std::uint32_t address);

// RFC 5952: lower-case hexadecimal without leading zeros, the longest run of
// two or more zero groups (the first of equally long runs) as "::", and an
// IPv4-mapped address with its last 32 bits as a dotted quad.
std::string FormatIpv6(const std::array<std::uint8_t, 16>& bytes);

// The text the control shows for an address: a dotted quad, or the RFC 5952
// form followed by "%" and the zone (as written, else the interface index).
std::string FormatAddress(const IpAddress& address);

}  // namespace korvane
