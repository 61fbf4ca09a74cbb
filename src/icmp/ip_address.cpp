#include "icmp/ip_address.h"

#include <algorithm>
#include <cstdio>

namespace korvane {

IpAddress IpAddress::Ipv4(std::uint32_t hostOrder) {
  IpAddress address;
  for (int i = 0; i < 4; ++i)
    address.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(hostOrder >> (24 - 8 * i));
  return address;
}

IpAddress IpAddress::Ipv6(const std::uint8_t* sixteenBytes, std::uint32_t scopeId, std::string zone) {
  IpAddress address;
  address.family = Family::Ipv6;
  for (std::size_t i = 0; i < 16; ++i)
    address.bytes[i] = sixteenBytes[i];
  address.scopeId = scopeId;
  address.zone = std::move(zone);
  return address;
}

std::uint32_t IpAddress::Ipv4HostOrder() const {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
         bytes[3];
}

IpAddress IpAddress::Unmapped() const {
  constexpr std::array<std::uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (!IsIpv6() || !std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes.begin())) return *this;
  return Ipv4((std::uint32_t{bytes[12]} << 24) | (std::uint32_t{bytes[13]} << 16) |
              (std::uint32_t{bytes[14]} << 8) | bytes[15]);
}

std::optional<std::uint32_t> ParseDottedQuad(std::string_view text) {
  std::uint32_t address = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    unsigned value = 0;
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[digits] - '0');
      if (value > 255) return std::nullopt;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    text.remove_prefix(digits);
    address = (address << 8) | value;
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

std::string FormatDottedQuad(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string FormatIpv6(const std::array<std::uint8_t, 16>& bytes) {
  unsigned groups[8];
  for (std::size_t i = 0; i < 8; ++i)
    groups[i] = (unsigned{bytes[2 * i]} << 8) | bytes[2 * i + 1];

  const bool ipv4Mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
                          groups[4] == 0 && groups[5] == 0xFFFF;
  const int hexGroups = ipv4Mapped ? 6 : 8;

  // The longest run of zero groups, two or more long; the first of equal runs.
  int runStart = -1, runLength = 0;
  for (int i = 0; i < hexGroups;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < hexGroups && groups[j] == 0)
      ++j;
    if (j - i > runLength && j - i >= 2) runStart = i, runLength = j - i;
    i = j;
  }

  std::string text;
  for (int i = 0; i < hexGroups; ++i) {
    if (i == runStart) {
      text += "::";
      i += runLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    char group[8];
    std::snprintf(group, sizeof group, "%x", groups[i]);
    text += group;
  }
  if (ipv4Mapped) {
    if (!text.empty() && text.back() != ':') text += ':';
    text += FormatDottedQuad((std::uint32_t{bytes[12]} << 24) | (std::uint32_t{bytes[13]} << 16) |
                             (std::uint32_t{bytes[14]} << 8) | bytes[15]);
  }
  return text;
}

std::string FormatAddress(const IpAddress& address) {
  if (!address.IsIpv6()) return FormatDottedQuad(address.Ipv4HostOrder());
  std::string text = FormatIpv6(address.bytes);
  // Appended piece by piece: "%" + zone trips a false -Wrestrict in GCC 12.
  if (!address.zone.empty()) {
    text += '%';
    text += address.zone;
  } else if (address.scopeId != 0) {
    text += '%';
    text += std::to_string(address.scopeId);
  }
  return text;
}

}  // namespace korvane
