#pragma once
// What a finished request of the Windows ICMP API says, read from the reply
// buffer that IcmpParseReplies or Icmp6ParseReplies has filled: a reply, an
// error, or nothing to report. Apart from the API's own calls, so that the
// reading can be tested on buffers built in a test.
#include <windows.h>

#include <cstdint>

#include "icmp/ip_address.h"

namespace korvane {

// The ICMPv6 reply as the API lays it out (the SDK's ICMPV6_ECHO_REPLY).
struct Icmp6EchoReply {
  std::uint16_t port;
  ULONG flowInfo;
  std::uint16_t address[8];  // network order
  ULONG scopeId;
  ULONG status;
  unsigned int roundTripTime;
};

struct EchoOutcome {
  enum class Kind { Nothing, Reply, Error };
  Kind kind = Kind::Nothing;
  std::string source;  // a reply's, as the control writes addresses
  std::int32_t roundTripMs = 0;
};

// replies: what the parse call returned; error: GetLastError() when it was 0.
// target: where the request went, so that a reply from there is written the
// way Target reads (with the zone as the host text gave it).
EchoOutcome ReadReplyBuffer(const void* buffer, bool ipv6, DWORD replies, DWORD error,
                            const IpAddress& target);

}  // namespace korvane
