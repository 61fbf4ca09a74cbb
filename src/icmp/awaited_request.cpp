#include "icmp/awaited_request.h"

#include <algorithm>
#include <cstdint>

namespace korvane {
namespace {

std::int32_t ElapsedWholeMs(std::int64_t fromNs, std::int64_t toNs) {
  if (toNs <= fromNs) return 0;
  const std::int64_t ms = (toNs - fromNs) / 1'000'000;
  return ms > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(ms);
}

}  // namespace

std::vector<unsigned char> EchoPayload(std::size_t size, Bytes cookie) {
  std::vector<unsigned char> payload(size);
  for (std::size_t i = 0; i < size; ++i) {
    payload[i] = i < cookie.size() ? cookie[i] : static_cast<unsigned char>(i);
  }
  return payload;
}

bool ArrivedByDeadline(std::int64_t arrivedAtNs, std::int64_t deadlineNs) {
  return arrivedAtNs <= deadlineNs;
}

std::string ReplySource(const IpAddress& source, const IpAddress& destination) {
  const bool fromDestination =
      source.SameHostAs(destination) && (!destination.ZoneMatters() || source.scopeId == destination.scopeId);
  return FormatAddress(fromDestination ? destination : source);
}

EchoOutcome JudgeFinishedRequest(const FinishedRequest& finished, const IpAddress& target, Bytes payload) {
  using Status = FinishedRequest::Status;
  if (finished.status == Status::Silent) return {};
  if (finished.status == Status::Error) return {EchoOutcome::Kind::Error, {}, 0};
  if (!EchoesPayload(finished.echoed, payload)) return {EchoOutcome::Kind::NotOurs, {}, 0};
  return {EchoOutcome::Kind::Reply, ReplySource(finished.source, target), finished.roundTripMs};
}

AwaitedRequest::AwaitedRequest(int socket, IpAddress destination, std::uint16_t identifier,
                               std::uint16_t sequence, std::vector<unsigned char> payload,
                               std::int64_t sentAtNs, std::int64_t deadlineNs)
    : socket_(socket),
      destination_(std::move(destination)),
      identifier_(identifier),
      sequence_(sequence),
      payload_(std::move(payload)),
      sentAtNs_(sentAtNs),
      deadlineNs_(deadlineNs) {}

bool AwaitedRequest::OnItsSocket(int socket) const { return socket == socket_; }

Judgement AwaitedRequest::OnMessage(int socket, Classifier classify, Bytes message, const IpAddress& source,
                                    std::int64_t receivedAtNs) {
  if (!OnItsSocket(socket)) return {};
  return Judge(classify(message, identifier_, payload_), source, receivedAtNs);
}

Judgement AwaitedRequest::OnQueuedError(int socket, const std::optional<QueuedError>& entry) {
  if (!OnItsSocket(socket)) return {};
  Judgement judgement;
  if (entry) {
    judgement = Judge(
        ClassifyQueuedError(entry->icmpType, entry->quotedDestination, entry->quotedRequest, identifier_), {},
        0);
  }
  if (!errorRaised_ && ++strayErrors_ == kMaxStrayErrors) {
    judgement.stopErrors = true;
  }
  return judgement;
}

Judgement AwaitedRequest::Judge(const IcmpVerdict& verdict, const IpAddress& source,
                                std::int64_t receivedAtNs) {
  if (verdict.sequence != sequence_) return {};
  if (verdict.kind == IcmpVerdict::Kind::EchoReply) {
    if (!ArrivedByDeadline(receivedAtNs, deadlineNs_)) return {};
    return {Judgement::Event::Response, ReplySource(source, destination_),
            ElapsedWholeMs(sentAtNs_, receivedAtNs), false};
  }
  if (verdict.kind == IcmpVerdict::Kind::Error && !errorRaised_ &&
      verdict.quotedDestination.SameHostAs(destination_)) {
    errorRaised_ = true;
    return {Judgement::Event::Error, {}, 0, true};
  }
  return {};
}

}  // namespace korvane
