#include "icmp/bounded_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;

// Lives on the heap: when a lookup outlives its time limit and cannot be
// cancelled, the resolver's thread still owns it, so it is left to that thread.
struct Lookup {
  std::string name;
  addrinfo hints{};
  gaicb request{};
};

IpAddress FromSocketAddress(const sockaddr* address, const std::string& zone) {
  if (address->sa_family == AF_INET) {
    sockaddr_in v4;
    std::memcpy(&v4, address, sizeof v4);
    return IpAddress::Ipv4(ntohl(v4.sin_addr.s_addr));
  }
  sockaddr_in6 v6;
  std::memcpy(&v6, address, sizeof v6);
  return IpAddress::Ipv6(v6.sin6_addr.s6_addr, v6.sin6_scope_id, zone);
}

std::optional<IpAddress> First(const addrinfo* list, int family, const std::string& zone) {
  for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
    if (entry->ai_family == family && entry->ai_addr) return FromSocketAddress(entry->ai_addr, zone);
  }
  return std::nullopt;
}

// An IPv6 address written out, "fe80::1%eth0" with its zone among them: no
// name server is asked.
std::optional<IpAddress> Ipv6Literal(const std::string& text) {
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &list) != 0) return std::nullopt;
  const std::size_t percent = text.find('%');
  const auto address = First(list, AF_INET6, percent == std::string::npos ? "" : text.substr(percent + 1));
  freeaddrinfo(list);
  return address;
}

// The first address of the family, or nothing once the time is up.
std::optional<IpAddress> LookUp(const std::string& name, int family, Clock::time_point giveUpAt) {
  auto* lookup = new Lookup;
  lookup->name = name;
  // No AI_ADDRCONFIG: it refuses every name on a host whose only network is loopback.
  lookup->hints.ai_family = family;
  lookup->hints.ai_socktype = SOCK_RAW;
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* requests[1] = {&lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr) != 0) {
    delete lookup;
    return std::nullopt;
  }

  while (gai_error(&lookup->request) == EAI_INPROGRESS) {
    const auto left = giveUpAt - Clock::now();
    if (left <= std::chrono::nanoseconds::zero()) break;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec wait{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    gai_suspend(requests, 1, &wait);
  }

  int status = gai_error(&lookup->request);
  if (status == EAI_INPROGRESS) {
    const int cancelled = gai_cancel(&lookup->request);
    if (cancelled == EAI_NOTCANCELED) return std::nullopt;  // left to the resolver's thread
    if (cancelled == EAI_CANCELED) {
      delete lookup;
      return std::nullopt;
    }
    status = gai_error(&lookup->request);  // it finished after all
  }
  std::optional<IpAddress> address;
  if (status == 0) {
    address = First(lookup->request.ar_result, family, "");
    freeaddrinfo(lookup->request.ar_result);
  }
  delete lookup;
  return address;
}

}  // namespace

std::optional<IpAddress> ResolveHost(const std::string& name, int timeLimitMs) {
  if (const auto literal = Ipv6Literal(name)) return literal;
  const Clock::time_point giveUpAt = Clock::now() + std::chrono::milliseconds(timeLimitMs);
  if (const auto ipv4 = LookUp(name, AF_INET, giveUpAt)) return ipv4;
  if (name.find_first_not_of("0123456789.") == std::string::npos) return std::nullopt;
  if (Clock::now() >= giveUpAt) return std::nullopt;
  return LookUp(name, AF_INET6, giveUpAt);
}

}  // namespace korvane
