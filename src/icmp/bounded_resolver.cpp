#include "icmp/bounded_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace korvane {
namespace {

// Lives on the heap: when a lookup outlives its time limit and cannot be
// cancelled, the resolver's thread still owns it, so it is left to that thread.
struct Lookup {
  std::string name;
  addrinfo hints{};
  gaicb request{};
};

std::optional<std::uint32_t> FirstIpv4(const addrinfo* list) {
  for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr) {
      sockaddr_in address;
      std::memcpy(&address, entry->ai_addr, sizeof address);
      return ntohl(address.sin_addr.s_addr);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> ResolveIpv4(const std::string& name, int timeLimitMs) {
  auto* lookup = new Lookup;
  lookup->name = name;
  // No AI_ADDRCONFIG: it refuses every name on a host whose only network is loopback.
  lookup->hints.ai_family = AF_INET;
  lookup->hints.ai_socktype = SOCK_RAW;
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* requests[1] = {&lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr) != 0) {
    delete lookup;
    return std::nullopt;
  }

  const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs);
  while (gai_error(&lookup->request) == EAI_INPROGRESS) {
    const auto left = giveUpAt - std::chrono::steady_clock::now();
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
  std::optional<std::uint32_t> address;
  if (status == 0) {
    address = FirstIpv4(lookup->request.ar_result);
    freeaddrinfo(lookup->request.ar_result);
  }
  delete lookup;
  return address;
}

}  // namespace korvane
