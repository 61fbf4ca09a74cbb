#include "windows/windows_icmp_control.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <winternl.h>
#include <bcrypt.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <optional>

#include "icmp/awaited_request.h"
#include "icmp/ip_address.h"
#include "icmp/name_lookup.h"
#include "windows/win32_text.h"
#include "windows/windows_reply.h"

namespace korvane {
namespace {

// Longer than the checker ever waits for a host, so the system does not give
// up on a request while its host is still under check.
constexpr DWORD kRequestTimeoutMs = 10000;
constexpr WORD kPayloadSize = 32;
// Both send calls want room for one reply structure, the request's data, 8
// bytes more for an ICMP error, and an IO_STATUS_BLOCK; the rest is room for
// reply options and a longer quoted packet.
constexpr DWORD kReplyBufferSize = 640;
static_assert(kReplyBufferSize >= sizeof(ICMP_ECHO_REPLY) + kPayloadSize + 8 + sizeof(IO_STATUS_BLOCK));
static_assert(kReplyBufferSize >= sizeof(Icmp6EchoReply) + kPayloadSize + 8 + sizeof(IO_STATUS_BLOCK));

// Addresses go to and come from the system as sockaddr_in6, laid out with
// natural alignment (family, port, flow information, address at 8, zone at 24).
static_assert(offsetof(sockaddr_in6, sin6_addr) == 8 && offsetof(sockaddr_in6, sin6_scope_id) == 24 &&
              sizeof(sockaddr_in6) == 28);

// The system's DNS client asks the preferred server of the preferred
// connection for 1 s, then the preferred servers of all connections for 2 s,
// and only then every server: with one connection, its alternate server may
// first be asked 3 s into the lookup. One second more lets its answer count.
constexpr DWORD kLookupTimeLimitMs = kResolveTimeLimitMs + 1000;

// One lookup, shared by the run and the thread that does it; whichever of the
// two lets go of it last frees it. Plain Win32 threads and events: the
// threading library's own locks, left held by a finished detached thread, have
// been seen to make a later lookup spin for ever.
struct Lookup {
  std::wstring name;
  std::string zone;  // an IPv6 literal's, as written
  bool ipv4Only = false;
  std::optional<IpAddress> address;
  bool noSuchName = false;    // the name service answered that the name does not exist
  HANDLE finished = nullptr;  // set once address holds the result
  LONG holders = 2;           // the run and the lookup thread
};

void LetGo(Lookup* lookup) {
  if (InterlockedDecrement(&lookup->holders) != 0) return;
  CloseHandle(lookup->finished);
  delete lookup;
}

// failed: GetAddrInfoW's error, or 0.
std::optional<IpAddress> FirstOf(const std::wstring& name, int family, int flags, const std::string& zone,
                                 int& failed) {
  ADDRINFOW hints{};
  hints.ai_family = family;
  hints.ai_flags = flags;
  ADDRINFOW* list = nullptr;
  failed = GetAddrInfoW(name.c_str(), nullptr, &hints, &list);
  if (failed != 0) return std::nullopt;
  std::optional<IpAddress> found;
  for (const ADDRINFOW* entry = list; entry && !found; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && family == AF_INET) {
      found = IpAddress::Ipv4(ntohl(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr));
    } else if (entry->ai_family == AF_INET6 && family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
      found = IpAddress::Ipv6(v6->sin6_addr.s6_addr, v6->sin6_scope_id, zone);
    }
  }
  FreeAddrInfoW(list);
  return found;
}

// An IPv6 literal as it is; a name's first IPv4 address, or, only when it has
// none, its first IPv6 address. A text of digits and dots alone is only ever
// IPv4. The lookups run on a thread of their own: a resolver that never
// answers cannot hold up the run beyond the time limit. A lookup that
// outlives it finishes on its own and is then dropped.
DWORD WINAPI LookUp(void* parameter) {
  auto* lookup = static_cast<Lookup*>(parameter);
  int failed = 0;
  std::optional<IpAddress> found = FirstOf(lookup->name, AF_INET6, AI_NUMERICHOST, lookup->zone, failed);
  if (!found) found = FirstOf(lookup->name, AF_INET, 0, {}, failed);
  if (!found && !lookup->ipv4Only) found = FirstOf(lookup->name, AF_INET6, 0, {}, failed);
  lookup->address = found;
  // Only "no such name" is the name's fault; a silent or failing name server
  // (WSATRY_AGAIN, WSANO_RECOVERY) is an outage like any other.
  lookup->noSuchName = !found && failed == WSAHOST_NOT_FOUND;
  SetEvent(lookup->finished);
  LetGo(lookup);
  return 0;
}

NameLookup ResolveHost(const std::string& name) {
  auto* lookup = new Lookup;
  lookup->name = WideFromUtf8(name);
  const std::size_t percent = name.find('%');
  if (percent != std::string::npos) lookup->zone = name.substr(percent + 1);
  lookup->ipv4Only = OnlyIpv4(name);
  lookup->finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE thread = lookup->finished ? CreateThread(nullptr, 0, LookUp, lookup, 0, nullptr) : nullptr;
  if (!thread) {
    if (lookup->finished) CloseHandle(lookup->finished);
    delete lookup;
    return {};
  }
  CloseHandle(thread);
  const bool done = WaitForSingleObject(lookup->finished, kLookupTimeLimitMs) == WAIT_OBJECT_0;
  NameLookup found;
  if (done) found = {lookup->address, lookup->noSuchName};
  LetGo(lookup);
  return found;
}

}  // namespace

struct WindowsIcmpControl::Request {
  HANDLE done = nullptr;
  IpAddress address;
  std::vector<unsigned char> payload;  // its cookie, new for each request
  std::int64_t sentAtNs = 0;
  std::int64_t deadlineNs = 0;  // when the wait for the host ends, on the platform's clock
  // The system writes ICMP_ECHO_REPLY, pointers included, at its start.
  alignas(ICMP_ECHO_REPLY) unsigned char reply[kReplyBufferSize] = {};
  ~Request() {
    if (done) CloseHandle(done);
  }
};

WindowsIcmpControl::WindowsIcmpControl(Platform& platform) : IcmpControlBase(platform) {
  WSADATA data;
  socketsError_ = WSAStartup(MAKEWORD(2, 2), &data);
  const HANDLE handle = IcmpCreateFile();
  if (handle != INVALID_HANDLE_VALUE) icmp_ = handle;
  if (!icmp_) icmpFailure_ = "IcmpCreateFile failed (" + SystemMessage(GetLastError()) + ")";
  const HANDLE handle6 = Icmp6CreateFile();
  if (handle6 != INVALID_HANDLE_VALUE) icmp6_ = handle6;
  if (!icmp6_) icmp6Failure_ = "Icmp6CreateFile failed (" + SystemMessage(GetLastError()) + ")";
}

WindowsIcmpControl::~WindowsIcmpControl() {
  if (icmp_) IcmpCloseHandle(icmp_);
  if (icmp6_) IcmpCloseHandle(icmp6_);
}

NameLookup WindowsIcmpControl::ResolveName(const std::string& name) {
  // Without Windows Sockets no name, and no IPv6 literal, can be looked up.
  if (socketsError_ != 0) {
    ReportResolverFailure("WSAStartup failed (" + SystemMessage(static_cast<DWORD>(socketsError_)) + ")");
    return {};
  }
  return ResolveHost(name);
}

void WindowsIcmpControl::SendEcho(const std::string& addressText) {
  // The deadline counts from when the request is asked for, as the wait for it does.
  const std::int64_t deadlineNs = platform_.MonotonicNanoseconds() + kReplyDeadlineMs * 1'000'000;
  const std::optional<IpAddress> address = Aim(addressText);
  if (!address) FailSend("no address to send to");
  if (!(address->IsIpv6() ? icmp6_ : icmp_)) {
    FailSendWithoutHandle(address->IsIpv6(), address->IsIpv6() ? icmp6Failure_ : icmpFailure_);
  }
  if (const char* failure = Send(*address, deadlineNs)) FailSend(failure);
}

const char* WindowsIcmpControl::Send(const IpAddress& address, std::int64_t deadlineNs) {
  void* const handle = address.IsIpv6() ? icmp6_ : icmp_;
  if (!handle) return "no ICMP handle for the address's family";

  auto request = std::make_unique<Request>();
  request->address = address;
  request->deadlineNs = deadlineNs;
  request->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!request->done) return "no event for the request";
  unsigned char cookie[kCookieSize];
  if (BCryptGenRandom(nullptr, cookie, sizeof cookie, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
    return "no random cookie for the request";
  }
  request->payload = EchoPayload(kPayloadSize, cookie);
  void* const payload = request->payload.data();
  request->sentAtNs = platform_.MonotonicNanoseconds();
  DWORD result = 0;
  if (address.IsIpv6()) {
    sockaddr_in6 source{};
    source.sin6_family = AF_INET6;
    sockaddr_in6 destination{};
    destination.sin6_family = AF_INET6;
    std::memcpy(destination.sin6_addr.s6_addr, address.bytes.data(), 16);
    destination.sin6_scope_id = address.scopeId;
    result = Icmp6SendEcho2(handle, request->done, nullptr, nullptr, &source, &destination, payload,
                            kPayloadSize, nullptr, request->reply, kReplyBufferSize, kRequestTimeoutMs);
  } else {
    result = IcmpSendEcho2(handle, request->done, nullptr, nullptr, htonl(address.Ipv4HostOrder()), payload,
                           kPayloadSize, nullptr, request->reply, kReplyBufferSize, kRequestTimeoutMs);
  }
  if (result == 0 && GetLastError() != ERROR_IO_PENDING) return "echo request not sent";
  current_ = request.get();
  outstanding_.push_back(std::move(request));
  return nullptr;
}

std::vector<std::intptr_t> WindowsIcmpControl::WaitObjects() const {
  std::vector<std::intptr_t> handles;
  for (const auto& request : outstanding_)
    handles.push_back(reinterpret_cast<std::intptr_t>(request->done));
  return handles;
}

bool WindowsIcmpControl::DeliverPendingEvents() {
  DeliverSendFailure();
  std::optional<IpAddress> askAgain;  // the current request's host, to be asked anew
  std::int64_t deadlineNs = 0;
  for (auto it = outstanding_.begin(); it != outstanding_.end();) {
    if (WaitForSingleObject((*it)->done, 0) != WAIT_OBJECT_0) {
      ++it;
      continue;
    }
    const std::unique_ptr<Request> finished = std::move(*it);
    it = outstanding_.erase(it);
    if (finished.get() != current_) continue;  // an earlier host's: never heard
    current_ = nullptr;
    const bool ipv6 = finished->address.IsIpv6();
    const DWORD count = ipv6 ? Icmp6ParseReplies(finished->reply, kReplyBufferSize)
                             : IcmpParseReplies(finished->reply, kReplyBufferSize);
    const EchoOutcome outcome =
        ReadReplyBuffer(finished->reply, sizeof finished->reply, ipv6, count, count == 0 ? GetLastError() : 0,
                        finished->address, finished->payload);
    // The system completes a request on the first reply it matches. One that
    // does not echo our payload counts for nothing, but the host's own can no
    // longer arrive: while the wait goes on, the host is asked again, with a
    // new cookie, under the same deadline.
    if (outcome.kind == EchoOutcome::Kind::NotOurs &&
        platform_.MonotonicNanoseconds() < finished->deadlineNs) {
      askAgain = finished->address;
      deadlineNs = finished->deadlineNs;
    }
    // The round trip tells when the reply arrived, however late the pump reads it.
    if (outcome.kind == EchoOutcome::Kind::Reply &&
        !ArrivedByDeadline(finished->sentAtNs + std::int64_t{outcome.roundTripMs} * 1'000'000,
                           finished->deadlineNs)) {
      continue;
    }
    if (!sink_ || outcome.kind == EchoOutcome::Kind::Nothing || outcome.kind == EchoOutcome::Kind::NotOurs) {
      continue;
    }
    if (outcome.kind == EchoOutcome::Kind::Error) {
      sink_->OnError();
    } else {
      sink_->OnResponse(outcome.source, outcome.roundTripMs);
    }
  }
  // A new request that cannot be sent leaves the host unanswered.
  if (askAgain) Send(*askAgain, deadlineNs);
  return false;  // one outcome per request: the work of a pump is bounded already
}

}  // namespace korvane
