// A test tool: answers ICMP and ICMPv6 echo requests by rule, one rule per
// destination address, so end-to-end tests can script hosts that answer at once, late,
// never, from the wrong address, with a foreign identifier, twice, or with an
// ICMP error, or that flood the requester. Runs only inside the test's private
// network namespace, with the kernel's own echo switched off.
//
//   icmp_responder READY_FILE [--flood-replies=RATE] [--sequences=FILE] ADDRESS=RULE...
//   RULE: now | delay:MS | never | from:ADDRESS | foreign-id | twice |
//         bad-checksum | code1 (a reply whose checksum or code is wrong) |
//         burst:FROM_MS:TO_MS (a reply every 10 ms in that window) |
//         unreachable | late-unreachable:MS | redirect | quench |
//         unreachable-other (quoting the request as sent to another address) |
//         error-flood:RATE:MS[:REPLY_MS] (unreachables quoting the request,
//         RATE a second for MS, and the echo reply after REPLY_MS if given) |
//         reply-flood:RATE:MS[:REPLY_MS] (the same with forged echo replies:
//         half with the next sequence, half from another address) |
//         sweep:RATE:MS[:REPLY_MS] (forged echo replies from the address with
//         the request's identifier, every sequence number in turn, and the
//         payload a forger can know: not the request's, but the fixed
//         pattern of byte i at offset i that korvane once sent) |
//         forged-first:MS (the first request: at once a reply with its
//         identifier and sequence but another payload, its true reply after
//         MS; every later request answered at once; IPv4 only)
//         lookalike-flood:COUNT (COUNT copies of the echo reply with the
//         first payload byte changed, half just before the real reply and
//         half just after it, as fast as they go)
//   --flood-replies=RATE: echo replies with another identifier to 127.0.0.1,
//         RATE a second, for as long as the responder runs.
//   --sequences=FILE: the sequence number of each request to an address with
//         a rule, one a line, appended to FILE.
// An ADDRESS may be IPv6; its rules are the same but for bad-checksum (the
// kernel writes ICMPv6 checksums), redirect and quench.
#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Rule {
  std::string kind;
  long first = 0;
  long second = 0;
  long third = -1;
  std::string other;          // from:ADDRESS, its bytes
  mutable long requests = 0;  // requests seen so far
};

struct Outgoing {
  Clock::time_point due;
  std::vector<unsigned char> packet;  // a whole IP datagram, or an ICMPv6 message
  bool ipv6 = false;
  in_addr destination{};
  in6_addr source6{}, destination6{};
};

// The bytes of an IPv4 or IPv6 address text; empty when it is neither.
std::string AddressBytes(const std::string& text) {
  unsigned char bytes[16];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1) return std::string(bytes, bytes + 4);
  if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) return std::string(bytes, bytes + 16);
  return {};
}

std::uint16_t Checksum(const unsigned char* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += (data[i] << 8) | data[i + 1];
  if (size % 2) sum += data[size - 1] << 8;
  while (sum >> 16)
    sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

void Put16(unsigned char* p, std::uint16_t value) {
  p[0] = static_cast<unsigned char>(value >> 8);
  p[1] = static_cast<unsigned char>(value);
}

// IP header (no options) around an ICMP message, checksums filled in.
std::vector<unsigned char> Datagram(in_addr source, in_addr destination, std::vector<unsigned char> icmp) {
  Put16(&icmp[2], 0);
  Put16(&icmp[2], Checksum(icmp.data(), icmp.size()));
  std::vector<unsigned char> packet(20 + icmp.size());
  packet[0] = 0x45;
  Put16(&packet[2], static_cast<std::uint16_t>(packet.size()));
  packet[8] = 64;
  packet[9] = IPPROTO_ICMP;
  std::memcpy(&packet[12], &source, 4);
  std::memcpy(&packet[16], &destination, 4);
  Put16(&packet[10], Checksum(packet.data(), 20));
  std::memcpy(&packet[20], icmp.data(), icmp.size());
  return packet;
}

Rule ParseRule(const std::string& text) {
  Rule rule;
  const std::size_t colon = text.find(':');
  rule.kind = text.substr(0, colon);
  const std::string argument = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (rule.kind == "delay" || rule.kind == "late-unreachable" || rule.kind == "forged-first")
    rule.first = std::atol(argument.c_str());
  if (rule.kind == "from") rule.other = AddressBytes(argument);
  if (rule.kind == "lookalike-flood") rule.first = std::atol(argument.c_str());
  if (rule.kind == "burst" || rule.kind == "error-flood" || rule.kind == "reply-flood" ||
      rule.kind == "sweep") {
    rule.first = std::atol(argument.c_str());
    const std::string rest = argument.substr(argument.find(':') + 1);
    rule.second = std::atol(rest.c_str());
    if (rest.find(':') != std::string::npos) rule.third = std::atol(rest.substr(rest.find(':') + 1).c_str());
  }
  return rule;
}

// When the rule sends its answers, in milliseconds after the request; none
// for "never".
std::vector<long> DelaysOf(const Rule& rule) {
  if (rule.kind == "never") return {};
  if (rule.kind == "delay" || rule.kind == "late-unreachable") return {rule.first};
  if (rule.kind == "twice") return {0, 0};
  if (rule.kind == "burst") {
    std::vector<long> delays;
    for (long ms = rule.first; ms <= rule.second; ms += 10)
      delays.push_back(ms);
    return delays;
  }
  return {0};
}

// What the rule changes in an echo reply (ICMP or ICMPv6 alike).
void SpoilReply(const Rule& rule, std::vector<unsigned char>& reply) {
  if (rule.kind == "foreign-id") reply[4] ^= 0x55;
  if (rule.kind == "code1") reply[1] = 1;
}

// A message header over one buffer, an address and room for control data.
msghdr MessageOver(void* address, socklen_t addressSize, iovec* data, void* control,
                   std::size_t controlSize) {
  msghdr message{};
  message.msg_name = address;
  message.msg_namelen = addressSize;
  message.msg_iov = data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = controlSize;
  return message;
}

// Room for the source address of an ICMPv6 message.
struct Source6Control {
  alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
};

// A message header for an outgoing packet: an IPv4 datagram to its
// destination, or an ICMPv6 message from the chosen source address (the
// kernel fills in its checksum).
msghdr MessageFor(const Outgoing& o, sockaddr_in& to, sockaddr_in6& to6, iovec& data,
                  Source6Control& control) {
  data = {const_cast<unsigned char*>(o.packet.data()), o.packet.size()};
  if (!o.ipv6) {
    to = {};
    to.sin_family = AF_INET;
    to.sin_addr = o.destination;
    return MessageOver(&to, sizeof to, &data, nullptr, 0);
  }
  to6 = {};
  to6.sin6_family = AF_INET6;
  to6.sin6_addr = o.destination6;
  msghdr message = MessageOver(&to6, sizeof to6, &data, control.bytes, sizeof control.bytes);
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = IPPROTO_IPV6;
  c->cmsg_type = IPV6_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
  in6_pktinfo info{};
  info.ipi6_addr = o.source6;
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  return message;
}

void Send(int fd, const Outgoing& o) {
  sockaddr_in to;
  sockaddr_in6 to6;
  iovec data;
  Source6Control control;
  const msghdr message = MessageFor(o, to, to6, data, control);
  sendmsg(fd, &message, 0);
}

// A raw socket of the packet's family, for a thread of its own.
int RawSocketFor(const Outgoing& o) {
  return o.ipv6 ? socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6) : socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
}

// A raw socket and a batch of copies of one packet, which must outlive it.
struct Copies {
  static constexpr long kBatch = 64;
  explicit Copies(const Outgoing& o) : out(RawSocketFor(o)) {
    const msghdr message = MessageFor(o, to, to6, data, control);
    for (mmsghdr& m : batch)
      m.msg_hdr = message;
  }
  ~Copies() { close(out); }
  Copies(const Copies&) = delete;
  Copies& operator=(const Copies&) = delete;
  // Up to a batch of copies at once; how many went.
  int Send(long count) { return sendmmsg(out, batch, static_cast<unsigned>(std::min(count, kBatch)), 0); }

  const int out;
  sockaddr_in to;
  sockaddr_in6 to6;
  iovec data;
  Source6Control control;
  mmsghdr batch[kBatch]{};
};

// Sends the packet RATE times a second for the duration, in batches, from a
// thread of its own.
void Flood(Outgoing o, long rate, long durationMs) {
  std::thread([o, rate, durationMs] {
    Copies copies(o);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::milliseconds(durationMs);
    for (long sent = 0; Clock::now() < end;) {
      const int n = copies.Send(Copies::kBatch);
      sent += n > 0 ? n : 0;
      std::this_thread::sleep_until(start + std::chrono::microseconds(sent * 1'000'000 / rate));
    }
  }).detach();
}

// Sends forged copies of the echo reply (at icmpAt in the packet) with every
// sequence number in turn, from the request's own, RATE a second for the
// duration, from a thread of its own. IPv4 checksums are written here; the
// kernel writes ICMPv6 ones.
void Sweep(Outgoing o, std::size_t icmpAt, long rate, long durationMs) {
  for (std::size_t i = icmpAt + 8; i < o.packet.size(); ++i)
    o.packet[i] = static_cast<unsigned char>(i - icmpAt);
  std::thread([o, icmpAt, rate, durationMs] {
    const int out = RawSocketFor(o);
    constexpr int kBatch = 64;
    std::vector<Outgoing> each(kBatch, o);
    sockaddr_in to[kBatch];
    sockaddr_in6 to6[kBatch];
    iovec data[kBatch];
    Source6Control control[kBatch];
    mmsghdr batch[kBatch]{};
    std::uint16_t sequence = static_cast<std::uint16_t>(o.packet[icmpAt + 6] << 8 | o.packet[icmpAt + 7]);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::milliseconds(durationMs);
    for (long sent = 0; Clock::now() < end;) {
      for (int i = 0; i < kBatch; ++i, ++sequence) {
        std::vector<unsigned char>& p = each[i].packet;
        Put16(&p[icmpAt + 6], sequence);
        if (!o.ipv6) {
          Put16(&p[icmpAt + 2], 0);
          Put16(&p[icmpAt + 2], Checksum(&p[icmpAt], p.size() - icmpAt));
        }
        batch[i].msg_hdr = MessageFor(each[i], to[i], to6[i], data[i], control[i]);
      }
      const int n = sendmmsg(out, batch, kBatch, 0);
      sent += n > 0 ? n : 0;
      std::this_thread::sleep_until(start + std::chrono::microseconds(sent * 1'000'000 / rate));
    }
    close(out);
  }).detach();
}

// Sends count copies of a look-alike around the real reply, from a thread of
// its own: the first half, the reply, then the rest, at once.
void AroundTheReply(Outgoing lookAlike, Outgoing reply, long count) {
  std::thread([lookAlike, reply, count] {
    Copies copies(lookAlike);
    const auto burst = [&](long total) {
      for (long sent = 0; sent < total;) {
        const int n = copies.Send(total - sent);
        if (n <= 0) return;
        sent += n;
      }
    };
    burst(count / 2);
    Send(copies.out, reply);
    burst(count - count / 2);
  }).detach();
}

// What an error-flood rule sends besides its flood: the echo reply, after
// REPLY_MS, when the rule gives one.
void QueueFloodReply(const Rule& rule, Outgoing reply, std::vector<Outgoing>& queue) {
  if (rule.third < 0) return;
  reply.due += std::chrono::milliseconds(rule.third);
  queue.push_back(reply);
}

// Where --sequences writes; none without it.
FILE* sequenceLog = nullptr;

void LogSequence(const unsigned char* icmp) {
  if (!sequenceLog) return;
  std::fprintf(sequenceLog, "%u\n", static_cast<unsigned>(icmp[6] << 8 | icmp[7]));
  std::fflush(sequenceLog);
}

// Reads one ICMPv6 packet and, when it is an echo request to an address with
// a rule, queues what the rule says.
void Answer6(int fd, const std::map<std::string, Rule>& rules, std::vector<Outgoing>& queue) {
  unsigned char data[2048];
  sockaddr_in6 from{};
  alignas(cmsghdr) unsigned char control[256];
  iovec buffer{data, sizeof data};
  msghdr message = MessageOver(&from, sizeof from, &buffer, control, sizeof control);
  const ssize_t size = recvmsg(fd, &message, 0);
  if (size < 8 || data[0] != 128) return;  // requests only
  in6_addr destination{};
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      destination = info.ipi6_addr;
    }
  }
  const auto found = rules.find(std::string(destination.s6_addr, destination.s6_addr + 16));
  if (found == rules.end()) return;
  const Rule& rule = found->second;
  LogSequence(data);

  std::vector<unsigned char> reply(data, data + size);
  reply[0] = 129;  // echo reply, same identifier, sequence and payload
  Outgoing outgoing{Clock::now(), {}, true};
  outgoing.source6 = destination;
  outgoing.destination6 = from.sin6_addr;
  if (rule.kind == "from") std::memcpy(&outgoing.source6, rule.other.data(), 16);
  SpoilReply(rule, reply);
  Outgoing echoReply = outgoing;
  echoReply.packet = reply;
  if (rule.kind == "unreachable" || rule.kind == "late-unreachable" || rule.kind == "unreachable-other" ||
      rule.kind == "error-flood") {
    // Destination unreachable, quoting the request's IPv6 header (rebuilt:
    // a raw socket does not hand it over) and the request.
    reply.assign(8, 0);
    reply[0] = 1;
    reply[1] = 3;
    unsigned char header[40] = {0x60};
    header[4] = static_cast<unsigned char>(size >> 8);
    header[5] = static_cast<unsigned char>(size);
    header[6] = 58;
    header[7] = 64;
    std::memcpy(&header[8], from.sin6_addr.s6_addr, 16);
    std::memcpy(&header[24], destination.s6_addr, 16);
    if (rule.kind == "unreachable-other") header[39] ^= 0x5A;
    reply.insert(reply.end(), header, header + 40);
    reply.insert(reply.end(), data, data + size);
  }
  outgoing.packet = reply;
  if (rule.kind == "error-flood") {
    Flood(outgoing, rule.first, rule.second);
    QueueFloodReply(rule, echoReply, queue);
    return;
  }
  if (rule.kind == "reply-flood") {
    Outgoing nextSequence = echoReply, otherSource = echoReply;
    nextSequence.packet[7] ^= 1;
    inet_pton(AF_INET6, "2001:db8::99", &otherSource.source6);
    Flood(nextSequence, rule.first / 2, rule.second);
    Flood(otherSource, rule.first / 2, rule.second);
    QueueFloodReply(rule, echoReply, queue);
    return;
  }
  if (rule.kind == "sweep") {
    Sweep(echoReply, 0, rule.first, rule.second);
    QueueFloodReply(rule, echoReply, queue);
    return;
  }
  if (rule.kind == "lookalike-flood") {
    Outgoing lookAlike = echoReply;
    lookAlike.packet[8] ^= 0x01;
    AroundTheReply(lookAlike, echoReply, rule.first);
    return;
  }
  for (long delay : DelaysOf(rule)) {
    outgoing.due = Clock::now() + std::chrono::milliseconds(delay);
    queue.push_back(outgoing);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: icmp_responder READY_FILE [--flood-replies=RATE] ADDRESS=RULE...\n");
    return 2;
  }
  long replyFloodRate = 0;
  std::map<std::string, Rule> rules;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--flood-replies=", 0) == 0) {
      replyFloodRate = std::atol(arg.c_str() + 16);
      continue;
    }
    if (arg.rfind("--sequences=", 0) == 0) {
      sequenceLog = std::fopen(arg.c_str() + 12, "a");
      continue;
    }
    const std::size_t eq = arg.find('=');
    const std::string address = eq == std::string::npos ? "" : AddressBytes(arg.substr(0, eq));
    if (address.empty()) {
      std::fprintf(stderr, "bad rule: %s\n", argv[i]);
      return 2;
    }
    rules[address] = ParseRule(arg.substr(eq + 1));
  }

  const int in = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  const int out = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  const int in6 = socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6);  // sends ICMPv6 too
  const int on = 1;
  setsockopt(in6, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
  if (in < 0 || out < 0 || in6 < 0) {
    std::perror("icmp_responder: socket");
    return 1;
  }
  // Only echo requests reach the listening sockets: the floods this tool sends
  // into the namespace would otherwise fill their buffers and hide a request.
  const icmp_filter requestsOnly{~(1U << ICMP_ECHO)};
  icmp6_filter requestsOnly6;
  ICMP6_FILTER_SETBLOCKALL(&requestsOnly6);
  ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &requestsOnly6);
  if (setsockopt(in, SOL_RAW, ICMP_FILTER, &requestsOnly, sizeof requestsOnly) != 0 ||
      setsockopt(in6, IPPROTO_ICMPV6, ICMP6_FILTER, &requestsOnly6, sizeof requestsOnly6) != 0) {
    std::perror("icmp_responder: filter");
    return 1;
  }
  if (replyFloodRate > 0) {
    std::vector<unsigned char> reply(64, 0);
    reply[4] = 0xBE;  // an identifier that is nobody's here
    reply[5] = 0xEF;
    in_addr from{}, to{};
    inet_pton(AF_INET, "198.51.100.1", &from);
    inet_pton(AF_INET, "127.0.0.1", &to);
    Outgoing flood{Clock::now(), Datagram(from, to, reply)};
    flood.destination = to;
    Flood(flood, replyFloodRate, 5 * 60 * 1000);
  }
  if (FILE* ready = std::fopen(argv[1], "w")) std::fclose(ready);

  std::vector<Outgoing> queue;
  const Clock::time_point stopAt = Clock::now() + std::chrono::minutes(5);  // never outlives a test
  while (Clock::now() < stopAt) {
    const Clock::time_point now = Clock::now();
    for (auto it = queue.begin(); it != queue.end();) {
      if (it->due <= now) {
        Send(it->ipv6 ? in6 : out, *it);
        it = queue.erase(it);
      } else {
        ++it;
      }
    }
    int timeout = 100;
    for (const Outgoing& o : queue) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(o.due - now).count();
      timeout = std::max(0, std::min<int>(timeout, static_cast<int>(ms)));
    }
    pollfd wait[2] = {{in, POLLIN, 0}, {in6, POLLIN, 0}};
    if (poll(wait, 2, timeout) <= 0) continue;
    if (wait[1].revents) Answer6(in6, rules, queue);
    if (!wait[0].revents) continue;

    unsigned char data[2048];
    const ssize_t size = recv(in, data, sizeof data, 0);
    if (size < 28) continue;
    const std::size_t header = static_cast<std::size_t>(data[0] & 0x0F) * 4;
    if (static_cast<std::size_t>(size) < header + 8 || data[header] != 8) continue;  // requests only
    in_addr requester, destination;
    std::memcpy(&requester, &data[12], 4);
    std::memcpy(&destination, &data[16], 4);
    const auto found = rules.find(std::string(&data[16], &data[20]));
    if (found == rules.end()) continue;
    const Rule& rule = found->second;
    LogSequence(data + header);

    std::vector<unsigned char> reply(data + header, data + size);
    reply[0] = 0;  // echo reply, same identifier, sequence and payload
    in_addr source = destination;
    const Clock::time_point received = Clock::now();
    if (rule.kind == "from") std::memcpy(&source, rule.other.data(), 4);
    SpoilReply(rule, reply);
    Outgoing echoReply{received, Datagram(source, requester, reply)};
    echoReply.destination = requester;
    const bool isError = rule.kind == "unreachable" || rule.kind == "late-unreachable" ||
                         rule.kind == "redirect" || rule.kind == "quench" ||
                         rule.kind == "unreachable-other" || rule.kind == "error-flood";
    if (isError) {
      // An ICMP error quoting the request's IP header and 8 bytes.
      reply.assign(8, 0);
      reply[0] = rule.kind == "redirect" ? 5 : rule.kind == "quench" ? 4 : 3;
      reply[1] = 1;
      reply.insert(reply.end(), data, data + header + 8);
      if (rule.kind == "unreachable-other") inet_pton(AF_INET, "198.51.100.1", &reply[8 + 16]);
    }
    std::vector<unsigned char> datagram = Datagram(source, requester, reply);
    if (rule.kind == "bad-checksum") datagram[20 + 2] ^= 0x5A;
    if (rule.kind == "error-flood") {
      Outgoing flood{received, datagram};
      flood.destination = requester;
      Flood(flood, rule.first, rule.second);
      QueueFloodReply(rule, echoReply, queue);
      continue;
    }
    if (rule.kind == "reply-flood") {
      std::vector<unsigned char> next = reply;
      next[7] ^= 1;
      in_addr other;
      inet_pton(AF_INET, "198.51.100.1", &other);
      Outgoing nextSequence{received, Datagram(source, requester, next)};
      Outgoing otherSource{received, Datagram(other, requester, reply)};
      nextSequence.destination = otherSource.destination = requester;
      Flood(nextSequence, rule.first / 2, rule.second);
      Flood(otherSource, rule.first / 2, rule.second);
      QueueFloodReply(rule, echoReply, queue);
      continue;
    }
    if (rule.kind == "sweep") {
      Sweep(echoReply, 20, rule.first, rule.second);
      QueueFloodReply(rule, echoReply, queue);
      continue;
    }
    if (rule.kind == "forged-first" && rule.requests++ == 0) {
      std::vector<unsigned char> forged = reply;
      forged[8] ^= 0xFF;  // the payload's first byte
      Outgoing lookAlike{received, Datagram(source, requester, forged)};
      lookAlike.destination = requester;
      queue.push_back(lookAlike);
      echoReply.due += std::chrono::milliseconds(rule.first);
      queue.push_back(echoReply);
      continue;
    }
    if (rule.kind == "lookalike-flood") {
      std::vector<unsigned char> copy = reply;
      copy[8] ^= 0x01;
      Outgoing lookAlike{received, Datagram(source, requester, copy)};
      lookAlike.destination = requester;
      AroundTheReply(lookAlike, echoReply, rule.first);
      continue;
    }
    for (long delay : DelaysOf(rule)) {
      Outgoing outgoing{received + std::chrono::milliseconds(delay), datagram};
      outgoing.destination = requester;
      queue.push_back(outgoing);
    }
  }
  return 0;
}
