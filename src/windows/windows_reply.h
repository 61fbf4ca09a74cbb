#pragma once
// What a finished request of the Windows ICMP API says, read from the reply
// buffer that IcmpParseReplies or Icmp6ParseReplies has filled: a reply, an
// error, or nothing to report. Apart from the API's own calls, so that the
// reading can be tested on buffers built in a test; what counts is decided by
// JudgeFinishedRequest, which both systems' tests reach.
#include <windows.h>
// clang-format off
#include <winsock2.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <cstddef>
#include <cstdint>

#include "icmp/awaited_request.h"
#include "icmp/icmp_packet.h"
#include "icmp/ip_address.h"

namespace korvane {

// The ICMPv6 reply as the API lays it out (the SDK's ICMPV6_ECHO_REPLY). The
// SDK packs its address part (IPV6_ADDRESS_EX) to one byte, so the address
// begins at byte 6, not 8; MinGW-w64's header lacks that packing, so the
// layout is declared here and held to the system's offsets.
#pragma pack(push, 1)
struct Icmp6AddressEx {
  std::uint16_t port;
  ULONG flowInfo;
  std::uint8_t address[16];  // network order
  ULONG scopeId;
};
#pragma pack(pop)

struct Icmp6EchoReply {
  Icmp6AddressEx source;
  ULONG status;
  unsigned int roundTripTime;
};

static_assert(offsetof(Icmp6AddressEx, address) == 6 && offsetof(Icmp6AddressEx, scopeId) == 22 &&
              sizeof(Icmp6AddressEx) == 26);
static_assert(offsetof(Icmp6EchoReply, status) == 28 && offsetof(Icmp6EchoReply, roundTripTime) == 32 &&
              sizeof(Icmp6EchoReply) == 36);

// The IPv4 reply comes from the system header; on x64 it is read at these
// offsets (its data pointer makes it 40 bytes long).
static_assert(offsetof(ICMP_ECHO_REPLY, Address) == 0 && offsetof(ICMP_ECHO_REPLY, Status) == 4 &&
              offsetof(ICMP_ECHO_REPLY, RoundTripTime) == 8 && offsetof(ICMP_ECHO_REPLY, DataSize) == 12 &&
              offsetof(ICMP_ECHO_REPLY, Data) == 16 && sizeof(ICMP_ECHO_REPLY) == 40);

// buffer, size: the reply buffer; replies: what the parse call returned;
// error: GetLastError() when it was 0. target: where the request went, so
// that a reply from there is written the way Target reads (with the zone as
// the host text gave it). payload: what the request carried; a reply that
// does not echo it exactly is no reply of ours (NotOurs). An IPv4 reply says where its
// data lies (Data, DataSize); an ICMPv6 reply's data follows the reply
// structure and has no length of its own, so its first bytes are compared.
EchoOutcome ReadReplyBuffer(const void* buffer, std::size_t size, bool ipv6, DWORD replies, DWORD error,
                            const IpAddress& target, Bytes payload);

}  // namespace korvane
