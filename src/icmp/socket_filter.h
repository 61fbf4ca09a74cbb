#pragma once
// The kernel filter of the raw ICMP socket: only what can be ours gets queued.
#include <linux/filter.h>

#include <cstdint>
#include <vector>

namespace korvane {

// Classic BPF over a whole IPv4 datagram. It keeps echo replies (code 0) with
// our identifier, and destination-unreachable, time-exceeded and
// parameter-problem errors that quote an echo request with our identifier;
// it drops everything else before it takes room in the socket's queue, so
// that a flood of other traffic cannot push our reply out.
std::vector<sock_filter> Ipv4ReplyFilter(std::uint16_t identifier);

// The same over an ICMPv6 message, which is all a raw ICMPv6 socket sees:
// echo replies with our identifier, and destination-unreachable, packet-too-
// big, time-exceeded and parameter-problem errors quoting our echo request
// right after the quoted IPv6 header.
std::vector<sock_filter> Ipv6ReplyFilter(std::uint16_t identifier);

}  // namespace korvane
