#include "linux/bounded_resolver.h"

#include "icmp/name_lookup.h"
#include "linux/linux_icmp_family.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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

std::optional<IpAddress> First(const addrinfo* list, int family, const std::string& zone) {
  for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
    if (entry->ai_family != family || !entry->ai_addr || entry->ai_addrlen > sizeof(sockaddr_storage))
      continue;
    sockaddr_storage socketAddress{};
    std::memcpy(&socketAddress, entry->ai_addr, entry->ai_addrlen);
    IpAddress address = FromSocketAddress(socketAddress);
    address.zone = zone;
    return address;
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

// Why no descriptor can be had (descriptors used up), or nothing when one can.
std::string NoDescriptor() {
  const int probe = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (probe < 0) return std::strerror(errno);
  close(probe);
  return {};
}

// What the system says failed: the resolver's own thread keeps its errno, so
// the one cause seen in practice, descriptors used up, is looked for here.
std::string SystemFailure(int status) {
  if (status == EAI_MEMORY) return std::strerror(ENOMEM);
  if (status != EAI_SYSTEM) return {};
  const std::string failure = NoDescriptor();
  return failure.empty() ? "a system error" : failure;
}

// The C library asks each name server for five seconds, twice, unless told
// otherwise: a silent first server would use up the whole time limit before
// the second one is asked. A try gives server k of n max(1, (timeout << k) / n)
// seconds, so with a timeout of one second, its shortest, each of up to three
// servers gets one second and the third is asked after two. Further tries go
// round the servers again until the time limit: a lost query is sent again,
// and an answer later than a second still counts (it is read on the server's
// next turn), as from a local cache that waits on a slow server itself.
// RES_OPTIONS is read when the resolver loads its configuration and overrides
// resolv.conf's options; other options the variable already held are kept.
// Set once, before the first lookup starts a resolver thread.
void AskEachNameServerBriefly() {
  static const bool set = [] {
    const char* given = std::getenv("RES_OPTIONS");
    const std::string options = (given ? std::string(given) + " " : std::string()) + "timeout:1 attempts:3";
    return setenv("RES_OPTIONS", options.c_str(), 1) == 0;
  }();
  static_cast<void>(set);
}

// The first IPv4 address, or, when family allows it and there is none, the
// first IPv6 address; nothing once the time is up.
Resolution LookUp(const std::string& name, int family, Clock::time_point giveUpAt) {
  auto lookup = std::make_unique<Lookup>();
  lookup->name = name;
  // No AI_ADDRCONFIG: it refuses every name on a host whose only network is loopback.
  lookup->hints.ai_family = family;
  lookup->hints.ai_socktype = SOCK_RAW;
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* requests[1] = {&lookup->request};
  if (const int status = getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr); status != 0) {
    // The lookup runs on a thread of the resolver's; where none can be
    // started (a limit on processes), errno says why.
    if (status != EAI_SYSTEM) return {std::nullopt, SystemFailure(status)};
    return {std::nullopt, std::string("the lookup could not be started: ") + std::strerror(errno)};
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
    if (cancelled == EAI_NOTCANCELED) {
      lookup.release();  // the resolver's thread still uses it: left to it, never freed
      return {};
    }
    if (cancelled == EAI_CANCELED) return {};
    status = gai_error(&lookup->request);  // it finished after all
  }
  // Only "no such name" is the name's fault; a silent or failing name server
  // (EAI_AGAIN, EAI_FAIL) is an outage like any other.
  // A resolver that could open neither the hosts file nor a socket to a name
  // server says "no such name" too: that is the system's failure, not the name's.
  if (status == EAI_NONAME) {
    if (std::string failure = NoDescriptor(); !failure.empty()) return {std::nullopt, failure};
    return {std::nullopt, {}, true};
  }
  if (status != 0) return {std::nullopt, SystemFailure(status)};
  Resolution resolution{First(lookup->request.ar_result, AF_INET, ""), {}};
  if (!resolution.address && family != AF_INET)
    resolution.address = First(lookup->request.ar_result, AF_INET6, "");
  freeaddrinfo(lookup->request.ar_result);
  return resolution;
}

}  // namespace

Resolution ResolveHost(const std::string& name, int timeLimitMs) {
  AskEachNameServerBriefly();
  if (const auto literal = Ipv6Literal(name)) return {literal, {}};
  const Clock::time_point giveUpAt = Clock::now() + std::chrono::milliseconds(timeLimitMs);
  return LookUp(name, OnlyIpv4(name) ? AF_INET : AF_UNSPEC, giveUpAt);
}

}  // namespace korvane
