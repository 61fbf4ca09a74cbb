// Fuzzes everything that reads outside input: the argument reader as a run
// calls it on the simulated platform (the splitter, the threshold and the
// host list), the dotted-quad check, and the classification of the packets
// that reach the ping control's socket. Holds each to properties it must keep
// for any input.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "address/is_not_ip_address.h"
#include "cmdline/command_line.h"
#include "core/runtime_error.h"
#include "icmp/icmp_packet.h"
#include "support/scripted_ping_control.h"
#include "support/simulated_platform.h"
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

// A reply of ours: code 0, our identifier, and our payload echoed exactly.
bool IsOurReply(korvane::Bytes message, korvane::Bytes payload) {
  return message.size() == 8 + payload.size() && message[1] == 0 && message[4] == 0x12 &&
         message[5] == 0x34 && std::equal(payload.begin(), payload.end(), message.begin() + 8);
}

// Whatever the bytes, a packet counts as ours only when it is a well-formed
// message of an accepted type that carries our identifier, and a reply only
// when it echoes our payload (here the one the seeds' reply carries).
void FuzzPacketClassification(korvane::Bytes bytes) {
  using korvane::IcmpVerdict;
  constexpr std::uint16_t kIdentifier = 0x1234;
  static const std::vector<unsigned char> payload = [] {
    std::vector<unsigned char> bytes;
    for (unsigned char b = 8; b < 64; ++b)
      bytes.push_back(b);
    return bytes;
  }();
  const IcmpVerdict message = korvane::ClassifyIcmpMessage(bytes, kIdentifier, payload);
  if (message.kind != IcmpVerdict::Kind::Nothing) {
    Require(bytes.size() >= 8 && korvane::InternetChecksum(bytes) == 0);
    Require(message.kind == IcmpVerdict::Kind::EchoReply
                ? bytes[0] == korvane::kIcmpEchoReply && IsOurReply(bytes, payload)
                : korvane::IsRequestError(bytes[0]));
  }
  const IcmpVerdict datagram = korvane::ClassifyIpv4Datagram(bytes, kIdentifier, payload);
  if (datagram.kind != IcmpVerdict::Kind::Nothing) Require(bytes.size() >= 28 && (bytes[0] >> 4) == 4);
  if (bytes.size() > 1) {
    const IcmpVerdict queued = korvane::ClassifyQueuedError(bytes[0], korvane::IpAddress::Ipv4(0xC0000207),
                                                            bytes.subspan(1), kIdentifier);
    if (queued.kind != IcmpVerdict::Kind::Nothing) Require(korvane::IsRequestError(bytes[0]));
  }
  const IcmpVerdict message6 = korvane::ClassifyIcmpv6Message(bytes, kIdentifier, payload);
  if (message6.kind == IcmpVerdict::Kind::EchoReply) {
    Require(bytes[0] == korvane::kIcmp6EchoReply && IsOurReply(bytes, payload));
  } else if (message6.kind == IcmpVerdict::Kind::Error) {
    Require(korvane::IsRequestError6(bytes[0]) && message6.quotedDestination.IsIpv6());
  }
}

// The threshold field read independently of the splitter: the text up to the
// first blank or tab outside quotes, without its quotes and outer blanks;
// unset when nothing but quotes came before that separator.
std::optional<std::string> ThresholdText(const std::string& line) {
  std::optional<std::string> field;
  bool inQuotes = false;
  for (char c : line) {
    if (c == '"') {
      inQuotes = !inQuotes;
    } else if (!inQuotes && (c == ' ' || c == '\t')) {
      break;
    } else {
      if (!field) field.emplace();
      field->push_back(c);
    }
  }
  if (field) {
    field->erase(0, field->find_first_not_of(' '));
    field->erase(field->find_last_not_of(' ') + 1);
  }
  return field;
}

// The value of a plain decimal number (optional sign, digits, optional
// fraction), as the C library reads it; nothing for any other text.
std::optional<double> DecimalValue(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789.+-") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

// Whatever the command line, the reader keeps at most ten hosts, each a
// non-empty field of the line in order, and takes a threshold that is the
// first field rounded to the nearest integer; or it reports an argument error
// that the line explains, and keeps no host.
void FuzzArgumentReader(const std::string& line) {
  korvane::testing::SimulatedPlatform platform;
  korvane::testing::ScriptedPingControl control{platform};
  korvane::modKorvane run{platform, control};
  platform.SetCommandLine(line);
  korvane::ReadArguments(run);  // with the trace off an argument error returns

  Require(run.HostCount >= 0 && run.HostCount <= korvane::kMaxHosts);
  const std::optional<std::string> threshold = ThresholdText(line);
  const std::optional<double> value = threshold ? DecimalValue(*threshold) : std::nullopt;
  const bool tooLong = korvane::Utf16Length(line) >= korvane::kMaxCommandLineUnits;
  const std::vector<std::string>& problems = platform.Problems();
  if (!problems.empty() && problems.front().rfind("argument error: ", 0) == 0) {
    Require(problems.size() == 1 && run.HostCount == 0 && run.MinReplies == 0);
    const std::string& reason = problems.front();
    if (reason.find("too long") != std::string::npos) {
      Require(tooLong);
    } else {
      const bool notANumber = reason.find("not a number") != std::string::npos;
      Require(!tooLong && (notANumber ? !value : value && std::fabs(*value) >= 32767.5));
    }
    return;
  }
  Require(!tooLong);
  Require(threshold ? value && std::fabs(*value - run.MinReplies) <= 0.5 : run.MinReplies == 0);

  std::string unquoted;
  for (char c : line)
    if (c != '"') unquoted += c;
  std::size_t from = 0;
  for (std::int16_t i = 1; i <= run.HostCount; ++i) {
    const std::string& host = run.Hosts(i).Address;
    Require(!host.empty());
    const std::size_t at = unquoted.find(host, from);
    Require(at != std::string::npos);
    from = at + host.size();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzPacketClassification(korvane::Bytes(data, size));

  const std::string text = korvane::ToValidUtf8(std::string(reinterpret_cast<const char*>(data), size));

  FuzzArgumentReader(text);

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
