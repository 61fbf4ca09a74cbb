#include "icmp/windows_icmp_control.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "icmp/ipv4_address.h"
#include "platform/win32_text.h"

namespace korvane {
namespace {

constexpr int kResolveTimeLimitMs = 3000;
// Longer than the checker ever waits for a host, so the system does not give
// up on a request while its host is still under check.
constexpr DWORD kRequestTimeoutMs = 10000;
constexpr WORD kPayloadSize = 32;
// Room for the reply, an ICMP error with its quoted packet, and the status block.
constexpr DWORD kReplyBufferSize = sizeof(ICMP_ECHO_REPLY) + kPayloadSize + 8 + 512;

struct Lookup {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::optional<std::uint32_t> address;
  std::wstring name;
};

// GetAddrInfoW on a thread of its own: a resolver that never answers cannot
// hold up the run beyond the time limit. A lookup that outlives it finishes
// on its own and is then dropped.
std::optional<std::uint32_t> ResolveIpv4(const std::string& name) {
  auto lookup = std::make_shared<Lookup>();
  lookup->name = WideFromUtf8(name);
  std::thread([lookup] {
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    ADDRINFOW* list = nullptr;
    std::optional<std::uint32_t> found;
    if (GetAddrInfoW(lookup->name.c_str(), nullptr, &hints, &list) == 0) {
      for (const ADDRINFOW* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
          found = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
          break;
        }
      }
      FreeAddrInfoW(list);
    }
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->address = found;
    lookup->done = true;
    lookup->finished.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(lookup->mutex);
  lookup->finished.wait_for(lock, std::chrono::milliseconds(kResolveTimeLimitMs),
                            [&] { return lookup->done; });
  return lookup->done ? lookup->address : std::nullopt;
}

}  // namespace

struct WindowsIcmpControl::Request {
  HANDLE done = nullptr;
  unsigned char reply[kReplyBufferSize] = {};
  ~Request() {
    if (done) CloseHandle(done);
  }
};

WindowsIcmpControl::WindowsIcmpControl() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const HANDLE handle = IcmpCreateFile();
  if (handle != INVALID_HANDLE_VALUE) icmp_ = handle;
}

WindowsIcmpControl::~WindowsIcmpControl() {
  if (icmp_) IcmpCloseHandle(icmp_);
}

std::optional<std::uint32_t> WindowsIcmpControl::ResolveName(const std::string& name) {
  return ResolveIpv4(name);
}

void WindowsIcmpControl::SendEcho(const std::string& addressText) {
  const std::optional<std::uint32_t> address = Aim(addressText);
  if (!address) FailSend("no address to send to");
  if (!icmp_) FailSend("no ICMP handle");

  auto request = std::make_unique<Request>();
  request->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!request->done) FailSend("no event for the request");
  char payload[kPayloadSize];
  for (WORD i = 0; i < kPayloadSize; ++i) payload[i] = static_cast<char>('a' + i % 23);
  const DWORD result =
      IcmpSendEcho2(icmp_, request->done, nullptr, nullptr, htonl(*address), payload, kPayloadSize,
                    nullptr, request->reply, kReplyBufferSize, kRequestTimeoutMs);
  if (result == 0 && GetLastError() != ERROR_IO_PENDING) FailSend("echo request not sent");
  current_ = request.get();
  outstanding_.push_back(std::move(request));
}

std::vector<std::intptr_t> WindowsIcmpControl::WaitObjects() const {
  std::vector<std::intptr_t> handles;
  for (const auto& request : outstanding_) handles.push_back(reinterpret_cast<std::intptr_t>(request->done));
  return handles;
}

bool WindowsIcmpControl::DeliverPendingEvents() {
  DeliverSendFailure();
  for (auto it = outstanding_.begin(); it != outstanding_.end();) {
    if (WaitForSingleObject((*it)->done, 0) != WAIT_OBJECT_0) {
      ++it;
      continue;
    }
    const std::unique_ptr<Request> finished = std::move(*it);
    it = outstanding_.erase(it);
    if (finished.get() != current_) continue;  // an earlier host's: never heard
    current_ = nullptr;
    const DWORD count = IcmpParseReplies(finished->reply, kReplyBufferSize);
    const DWORD status = count == 0 ? GetLastError()
                                    : reinterpret_cast<ICMP_ECHO_REPLY*>(finished->reply)->Status;
    // The system's own time-out is no event; a source quench says nothing
    // about whether the host can be reached.
    if (!sink_ || status == IP_REQ_TIMED_OUT || status == IP_SOURCE_QUENCH) continue;
    if (status != IP_SUCCESS) {
      sink_->OnError();
      continue;
    }
    const auto* reply = reinterpret_cast<const ICMP_ECHO_REPLY*>(finished->reply);
    sink_->OnResponse(FormatDottedQuad(ntohl(reply->Address)),
                      static_cast<std::int32_t>(reply->RoundTripTime));
  }
  return false;  // one outcome per request: the work of a pump is bounded already
}

}  // namespace korvane
