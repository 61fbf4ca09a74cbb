// Fuzzes everything that reads outside input: what the command line reaches
// before a packet is sent (the splitter, the threshold conversion, the
// argument reader and the dotted-quad check), and the classification of the
// packets that reach the ping control's socket. Holds each to properties it
// must keep for any input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "address/is_not_ip_address.h"
#include "cmdline/command_line.h"
#include "core/runtime_error.h"
#include "icmp/icmp_packet.h"
#include "text/text.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// An independent statement of the dotted-quad form.
bool IsDottedQuad(const std::string& text) {
  std::size_t groups = 0, start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::string group = text.substr(start, dot == std::string::npos ? dot : dot - start);
    ++groups;
    if (group.empty() || group.find_first_not_of("0123456789") != std::string::npos) return false;
    if (groups < 4 && group.size() > 3) return false;
    const std::size_t firstNonZero = group.find_first_not_of('0');
    const std::string significant = firstNonZero == std::string::npos ? "0" : group.substr(firstNonZero);
    if (significant.size() > 3 || std::stoi(significant) > 255) return false;
    if (dot == std::string::npos) return groups == 4;
    if (groups == 4) return false;
    start = dot + 1;
  }
}

// Whatever the bytes, a packet counts as ours only when it is a well-formed
// message of an accepted type that carries our identifier.
void FuzzPacketClassification(korvane::Bytes bytes) {
  using korvane::IcmpVerdict;
  constexpr std::uint16_t kIdentifier = 0x1234;
  const IcmpVerdict message = korvane::ClassifyIcmpMessage(bytes, kIdentifier);
  if (message.kind != IcmpVerdict::Kind::Nothing) {
    Require(bytes.size() >= 8 && korvane::InternetChecksum(bytes) == 0);
    Require(message.kind == IcmpVerdict::Kind::EchoReply
                ? bytes[0] == korvane::kIcmpEchoReply && bytes[1] == 0 && bytes[4] == 0x12 && bytes[5] == 0x34
                : korvane::IsRequestError(bytes[0]));
  }
  const IcmpVerdict datagram = korvane::ClassifyIpv4Datagram(bytes, kIdentifier);
  if (datagram.kind != IcmpVerdict::Kind::Nothing) Require(bytes.size() >= 28 && (bytes[0] >> 4) == 4);
  if (bytes.size() > 1) {
    const IcmpVerdict queued = korvane::ClassifyQueuedError(bytes[0], korvane::IpAddress::Ipv4(0xC0000207),
                                                            bytes.subspan(1), kIdentifier);
    if (queued.kind != IcmpVerdict::Kind::Nothing) Require(korvane::IsRequestError(bytes[0]));
  }
  const IcmpVerdict message6 = korvane::ClassifyIcmpv6Message(bytes, kIdentifier);
  if (message6.kind == IcmpVerdict::Kind::EchoReply) {
    Require(bytes[0] == korvane::kIcmp6EchoReply && bytes[1] == 0 && bytes[4] == 0x12 && bytes[5] == 0x34);
  } else if (message6.kind == IcmpVerdict::Kind::Error) {
    Require(korvane::IsRequestError6(bytes[0]) && message6.quotedDestination.IsIpv6());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzPacketClassification(korvane::Bytes(data, size));

  const std::string text = korvane::ToValidUtf8(std::string(reinterpret_cast<const char*>(data), size));

  korvane::Args args;
  try {
    korvane::SplitCommandLine(text, args);
    std::size_t kept = 0;
    for (std::int16_t i = 1; i <= korvane::kFieldCount; ++i) {
      if (args(i)) {
        Require(!args(i)->empty());
        Require(args(i)->find('"') == std::string::npos);
        kept += args(i)->size();
      }
    }
    Require(kept <= text.size());
    try {
      const std::int16_t threshold = korvane::ConvertThreshold(args(1));
      (void)threshold;
    } catch (const korvane::RuntimeError&) {
    }
  } catch (const korvane::RuntimeError&) {
    Require(korvane::Utf16Length(text) >= korvane::kMaxCommandLineUnits);
  }

  std::int16_t flag = 7;
  try {
    korvane::IsNotIpAddress(text, flag);
    Require(flag == 0 || flag == -1);
    Require((flag == 0) == IsDottedQuad(text));
  } catch (const korvane::RuntimeError&) {
    Require(flag == 0 || flag == -1);
  }
  return 0;
}
