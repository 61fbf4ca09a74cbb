#include "linux/bounded_resolver.h"

#include "icmp/name_lookup.h"
#include "linux/linux_icmp_family.h"
#include "linux/name_absence.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;

// How often a lookup under way is looked at: an answer costs at most this much more.
constexpr long kLookupPollNs = 2'000'000;

// Lives on the heap: when a lookup outlives its time limit and cannot be
// cancelled, the resolver's threads still own it, so it is left to them.
// One request per family: a name server that drops the queries of one family
// cannot hold back the other's answer.
struct Lookup {
  std::string name;
  addrinfo hints[2]{};
  gaicb requests[2]{};
  int count = 2;  // 1: IPv4 only
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

// Ends the requests still under way; false when one of them cannot be
// stopped (its thread still writes to it) and the lookup must be left to it.
bool Finish(Lookup& lookup) {
  bool stopped = true;
  for (int i = 0; i < lookup.count; ++i) {
    gaicb& request = lookup.requests[i];
    if (gai_error(&request) == EAI_INPROGRESS && gai_cancel(&request) == EAI_NOTCANCELED) {
      stopped = false;
      continue;
    }
    if (gai_error(&request) == 0) freeaddrinfo(request.ar_result);
  }
  return stopped;
}

// The first IPv4 address, or, when the name has none (or its IPv4 lookup has
// not ended by the time limit), the first IPv6 address; nothing once the time
// is up.
Resolution LookUp(const std::string& name, bool ipv4Only, Clock::time_point giveUpAt) {
  auto lookup = std::make_unique<Lookup>();
  lookup->name = name;
  lookup->count = ipv4Only ? 1 : 2;
  gaicb* requests[2] = {};
  for (int i = 0; i < lookup->count; ++i) {
    // No AI_ADDRCONFIG: it refuses every name on a host whose only network is loopback.
    lookup->hints[i].ai_family = i == 0 ? AF_INET : AF_INET6;
    lookup->hints[i].ai_socktype = SOCK_RAW;
    lookup->requests[i].ar_name = lookup->name.c_str();
    lookup->requests[i].ar_request = &lookup->hints[i];
    requests[i] = &lookup->requests[i];
  }
  if (const int status = getaddrinfo_a(GAI_NOWAIT, requests, lookup->count, nullptr); status != 0) {
    // The lookup runs on threads of the resolver's; where none can be
    // started (a limit on processes), errno says why.
    if (status != EAI_SYSTEM) return {std::nullopt, SystemFailure(status)};
    return {std::nullopt, std::string("the lookup could not be started: ") + std::strerror(errno)};
  }

  gaicb& ipv4 = lookup->requests[0];
  gaicb& ipv6 = lookup->requests[1];
  const auto ended = [&](gaicb& request) { return gai_error(&request) != EAI_INPROGRESS; };
  // Done when IPv4 has an address, or has ended without one and IPv6 has ended too.
  const auto done = [&] {
    return gai_error(&ipv4) == 0 || (ended(ipv4) && (lookup->count == 1 || ended(ipv6)));
  };
  // Polled, not waited for with gai_suspend: the C library's wait, returning
  // while a request is just finishing, leaves its entry behind on that
  // request, and the finishing thread then writes into the returned frame.
  while (!done() && Clock::now() < giveUpAt) {
    timespec poll{0, kLookupPollNs};
    nanosleep(&poll, nullptr);
  }

  const int status4 = gai_error(&ipv4);
  const int status6 = lookup->count == 2 ? gai_error(&ipv6) : EAI_NONAME;
  Resolution resolution;
  if (status4 == 0) {
    resolution.address = First(ipv4.ar_result, AF_INET, "");
  } else if (status6 == 0) {
    resolution.address = First(ipv6.ar_result, AF_INET6, "");
  } else if (status4 == EAI_NONAME && status6 == EAI_NONAME) {
    // A resolver that could open neither the hosts file nor a socket to a
    // name server says "no such name" too: that is the system's failure.
    resolution.systemFailure = NoDescriptor();
    resolution.noSuchName = resolution.systemFailure.empty();
  } else if (status4 != EAI_INPROGRESS) {
    resolution.systemFailure = SystemFailure(status4);
  }
  if (!Finish(*lookup)) lookup.release();  // left to the resolver's threads, never freed
  // The C library also says "no such name" after a format error, an
  // unusual answer code, or a search domain whose server failed; only the
  // name servers' own word for every name tried makes it the name's fault.
  if (resolution.noSuchName) resolution.noSuchName = EveryNameTriedIsAbsent(name, giveUpAt);
  return resolution;
}

}  // namespace

Resolution ResolveHost(const std::string& name, int timeLimitMs) {
  AskEachNameServerBriefly();
  if (const auto literal = Ipv6Literal(name)) return {literal, {}};
  const Clock::time_point giveUpAt = Clock::now() + std::chrono::milliseconds(timeLimitMs);
  return LookUp(name, OnlyIpv4(name), giveUpAt);
}

}  // namespace korvane
