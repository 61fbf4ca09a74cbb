#pragma once
// Which reply or error counts for the echo request waited for now: its own
// replies only (its identifier, its sequence, its payload to the byte), each
// one; its first error, and only one that quotes where the request went; and
// a bound on the errors about anything else. No socket and no clock: what
// was read goes in, what to raise comes out, so every rule has a table row.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "icmp/icmp_packet.h"
#include "icmp/ip_address.h"

namespace korvane {

// Random bytes at the start of each request's payload, new for each request:
// an identifier can be read from the system and a sequence swept, but a
// reply that does not carry these was never sent by the host.
inline constexpr std::size_t kCookieSize = 16;

// A request's payload: the cookie, then a fixed pattern up to size bytes.
std::vector<unsigned char> EchoPayload(std::size_t size, Bytes cookie);

// The text a reply's source is written as: the request's destination as the
// control writes Target (with the zone as the host text gave it) when the
// reply came from there, else the source itself. The zone tells two sources
// apart only where it names the link (link-local, multicast).
std::string ReplySource(const IpAddress& source, const IpAddress& destination);

// A reply counts only when it arrived at or before its request's deadline,
// however late the process wakes to read it (stopped, frozen, starved of the
// processor): arrivedAtNs is when the system took it in, not when it is read.
bool ArrivedByDeadline(std::int64_t arrivedAtNs, std::int64_t deadlineNs);

// A request the system finished itself (the Windows ICMP API completes one on
// the first reply it matches), as that system reported it.
struct FinishedRequest {
  enum class Status { Silent, Error, Replied };
  Status status = Status::Silent;
  IpAddress source;  // Replied: where the reply came from
  std::int32_t roundTripMs = 0;
  Bytes echoed;  // Replied: the data the reply carried back
};

struct EchoOutcome {
  // NotOurs: a reply that does not echo the request's payload; the system
  // took it for the answer, so the host's own can no longer arrive.
  enum class Kind { Nothing, Reply, Error, NotOurs };
  Kind kind = Kind::Nothing;
  std::string source;  // a reply's, as ReplySource writes it
  std::int32_t roundTripMs = 0;
};

// What such a request amounts to for the host at target, whose request
// carried payload: a reply counts only when it echoes that payload exactly.
EchoOutcome JudgeFinishedRequest(const FinishedRequest& finished, const IpAddress& target, Bytes payload);

// What a socket of one kind hands over, classified for our identifier and the
// payload our request carried.
using Classifier = IcmpVerdict (*)(Bytes message, std::uint16_t identifier, Bytes payload);

// An entry of a datagram socket's error queue, as the kernel reports it.
struct QueuedError {
  std::uint8_t icmpType = 0;
  IpAddress quotedDestination;
  Bytes quotedRequest;
};

// What one thing read for the request means.
struct Judgement {
  enum class Event { None, Response, Error };
  Event event = Event::None;
  std::string source;  // a response's, as ReplySource writes it
  std::int32_t roundTripMs = 0;
  // Nothing but a reply can change the request's outcome any more: its
  // socket should let no further error in.
  bool stopErrors = false;

  friend bool operator==(const Judgement&, const Judgement&) = default;
};

class AwaitedRequest {
 public:
  // Errors on the request's socket that are not about it (another sequence or
  // destination, a redirect): past this many the socket stops taking errors,
  // so that a flood of them costs no more. No real network sends so many
  // about one echo request.
  static constexpr int kMaxStrayErrors = 32;

  // socket: the one the request went out on; deadlineNs: when the wait for
  // its replies ends, on the clock of sentAtNs.
  AwaitedRequest(int socket, IpAddress destination, std::uint16_t identifier, std::uint16_t sequence,
                 std::vector<unsigned char> payload, std::int64_t sentAtNs, std::int64_t deadlineNs);

  // A message that arrived on a socket at receivedAtNs (the clock of
  // sentAtNs), from source. Only what the request's own socket reads is
  // about it: another socket's messages count for nothing here.
  Judgement OnMessage(int socket, Classifier classify, Bytes message, const IpAddress& source,
                      std::int64_t receivedAtNs);
  // An entry of a datagram socket's error queue; nothing: an entry that
  // carries no ICMP error.
  Judgement OnQueuedError(int socket, const std::optional<QueuedError>& entry);

 private:
  Judgement Judge(const IcmpVerdict& verdict, const IpAddress& source, std::int64_t receivedAtNs);

  bool OnItsSocket(int socket) const;

  int socket_;
  IpAddress destination_;
  std::uint16_t identifier_;
  std::uint16_t sequence_;
  std::vector<unsigned char> payload_;
  std::int64_t sentAtNs_;
  std::int64_t deadlineNs_;
  bool errorRaised_ = false;
  int strayErrors_ = 0;
};

}  // namespace korvane
