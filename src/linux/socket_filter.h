#pragma once
// The kernel filters of the raw ICMP sockets: only what can still change the
// outcome of the request waited for gets queued.
#include <linux/filter.h>

#include <cstdint>
#include <vector>

#include "icmp/ip_address.h"

namespace korvane {

// Classic BPF for the request with this identifier and sequence, sent to this
// destination. It keeps echo replies (code 0) to that request and, when
// errorsToo, the destination-unreachable, time-exceeded and parameter-problem
// errors (ICMPv6: destination-unreachable, packet-too-big, time-exceeded and
// parameter-problem) that quote that very request; a reply must come from
// the destination (the IP header's source, read through SKF_NET_OFF); it drops everything else
// before it takes room in the socket's queue, so that a flood of other
// traffic, or of errors about earlier requests, cannot push the reply out.
// An IPv4 destination gives a program over a whole IPv4 datagram, an IPv6
// one a program over an ICMPv6 message, which is all a raw ICMPv6 socket sees.
std::vector<sock_filter> RequestFilter(const IpAddress& destination, std::uint16_t identifier,
                                       std::uint16_t sequence, bool errorsToo);

// The same for a datagram ICMP or ICMPv6 socket, whose data begins with the
// ICMP header and whose errors never pass a filter (they go to the error
// queue): only the echo replies (code 0) to that request, from the address it
// was sent to. The kernel hands such a socket every reply that carries its
// identifier, whatever its sequence or source, so without this a flood of
// forged replies could fill its queue and push the real one out.
std::vector<sock_filter> DatagramReplyFilter(const IpAddress& destination, std::uint16_t identifier,
                                             std::uint16_t sequence);

// Drops everything: the filter while no request is waited for.
std::vector<sock_filter> NothingFilter();

}  // namespace korvane
