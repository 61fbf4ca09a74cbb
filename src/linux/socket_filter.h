#pragma once
// The kernel filters of the ICMP sockets, raw and datagram, of both families:
// only what can still change the outcome of the request waited for gets
// queued.
#include <linux/filter.h>

#include <array>
#include <cstdint>
#include <vector>

#include "icmp/awaited_request.h"
#include "icmp/ip_address.h"

namespace korvane {

// What a reply to one request carries: the identifier and sequence it was
// sent with, and the cookie at the start of its payload; and where it went.
struct FilteredRequest {
  IpAddress destination;
  std::uint16_t identifier = 0;
  std::uint16_t sequence = 0;
  std::array<unsigned char, kCookieSize> cookie{};
};

// Classic BPF for the request. It keeps echo replies (code 0) to that
// request that carry its cookie and, when
// errorsToo, the destination-unreachable, time-exceeded and parameter-problem
// errors (ICMPv6: destination-unreachable, packet-too-big, time-exceeded and
// parameter-problem) that quote that very request; a reply must come from
// the destination (the IP header's source, read through SKF_NET_OFF); it drops everything else
// before it takes room in the socket's queue, so that a flood of other
// traffic, or of errors about earlier requests, cannot push the reply out.
// An IPv4 destination gives a program over a whole IPv4 datagram, an IPv6
// one a program over an ICMPv6 message, which is all a raw ICMPv6 socket sees.
// A reply's cookie is checked here too, so that copies of a reply with any
// other payload take no room either; errors quote too little of a request to
// carry it.
std::vector<sock_filter> RequestFilter(const FilteredRequest& request, bool errorsToo);

// The same for a datagram ICMP or ICMPv6 socket, whose data begins with the
// ICMP header and whose errors never pass a filter (they go to the error
// queue): only the echo replies (code 0) to that request, with its cookie,
// from the address it was sent to. The kernel hands such a socket every reply
// that carries its identifier, whatever its sequence, source or payload, so
// without this a flood of forged replies could fill its queue and push the
// real one out.
std::vector<sock_filter> DatagramReplyFilter(const FilteredRequest& request);

// Drops everything: the filter while no request is waited for.
std::vector<sock_filter> NothingFilter();

}  // namespace korvane
