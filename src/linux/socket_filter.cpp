#include "linux/socket_filter.h"

#include <linux/filter.h>

#include "icmp/icmp_packet.h"

namespace korvane {
namespace {

// Jump targets written as these marks are set once the program is whole: to
// its two last instructions, accept and reject, and to where its error part
// begins (reject when it has none).
constexpr std::uint8_t kToErrors = 0xFD, kToAccept = 0xFE, kToReject = 0xFF;

// A program built front to back; a jump's other targets count the
// instructions skipped, as classic BPF does.
class Program {
 public:
  Program& Load(std::uint16_t size, std::uint16_t mode, std::uint32_t at) {
    code_.push_back(BPF_STMT(static_cast<std::uint16_t>(BPF_LD | size | mode), at));
    return *this;
  }
  Program& Add(sock_filter instruction) {
    code_.push_back(instruction);
    return *this;
  }
  // Goes on with the next instruction when the loaded value equals value.
  Program& RejectUnless(std::uint32_t value) {
    return Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, kToReject));
  }
  // Accepts when it equals value, rejects otherwise.
  Program& AcceptIf(std::uint32_t value) {
    return Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, kToAccept, kToReject));
  }
  void ErrorsStartHere() { errors_ = code_.size(); }

  std::vector<sock_filter> Finish() {
    const std::size_t accept = code_.size();
    const std::size_t reject = accept + 1;
    const std::size_t errors = errors_ ? errors_ : reject;
    code_.push_back(BPF_STMT(BPF_RET | BPF_K, 0xFFFF));
    code_.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    for (std::size_t i = 0; i < accept; ++i) {
      if (BPF_CLASS(code_[i].code) != BPF_JMP || BPF_OP(code_[i].code) == BPF_JA) continue;
      for (std::uint8_t* target : {&code_[i].jt, &code_[i].jf}) {
        if (*target == kToAccept) *target = static_cast<std::uint8_t>(accept - i - 1);
        if (*target == kToReject) *target = static_cast<std::uint8_t>(reject - i - 1);
        if (*target == kToErrors) *target = static_cast<std::uint8_t>(errors - i - 1);
      }
    }
    return std::move(code_);
  }

 private:
  std::vector<sock_filter> code_;
  std::size_t errors_ = 0;
};

std::uint32_t Word(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

// Goes on only when the 16 bytes from offset at (absolute) are the address.
void CompareIpv6(Program& p, std::uint32_t at, const std::array<std::uint8_t, 16>& address) {
  for (std::uint32_t word = 0; word < 4; ++word) {
    p.Load(BPF_W, BPF_ABS, at + 4 * word).RejectUnless(Word(&address[4 * word]));
  }
}

// The source of the packet, from its IP header, wherever the data begins.
constexpr std::uint32_t kIpv4Source = SKF_NET_OFF + 12;
constexpr std::uint32_t kIpv6Source = SKF_NET_OFF + 8;
// A raw IPv4 socket's data is the whole datagram.
constexpr std::uint32_t kRawIpv4Source = 12;

// An echo reply (code 0) with the request's identifier and sequence, from the
// address it was sent to (read at sourceAt), whose payload begins with the
// request's cookie. The ICMP header is read at X (mode BPF_IND) or at 0
// (BPF_ABS). Any other type goes on to the error part with the type in A.
void ReplyPart(Program& p, const FilteredRequest& request, std::uint16_t mode, std::uint32_t sourceAt) {
  const bool ipv6 = request.destination.IsIpv6();
  p.Load(BPF_B, mode, 0);  // type
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ipv6 ? kIcmp6EchoReply : kIcmpEchoReply, 0, kToErrors));
  p.Load(BPF_B, mode, 1).RejectUnless(0);  // code
  p.Load(BPF_H, mode, 4).RejectUnless(request.identifier);
  p.Load(BPF_H, mode, 6).RejectUnless(request.sequence);
  if (ipv6) {
    CompareIpv6(p, sourceAt, request.destination.bytes);
  } else {
    p.Load(BPF_W, BPF_ABS, sourceAt).RejectUnless(request.destination.Ipv4HostOrder());
  }
  // The cookie follows the 8-byte ICMP header; a payload too short to hold
  // it fails the load, which rejects.
  for (std::uint32_t word = 0; word < kCookieSize / 4; ++word) {
    p.Load(BPF_W, mode, 8 + 4 * word);
    const std::uint32_t expected = Word(&request.cookie[4 * word]);
    if (word + 1 < kCookieSize / 4) {
      p.RejectUnless(expected);
    } else {
      p.AcceptIf(expected);
    }
  }
}

// The raw IPv4 socket sees whole datagrams: the ICMP message follows an IP
// header of X bytes, so its fields are read relative to X.
std::vector<sock_filter> Ipv4Filter(const FilteredRequest& request, bool errorsToo) {
  const std::uint32_t destination = request.destination.Ipv4HostOrder();
  Program p;
  p.Add(BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0));  // X = IP header length
  ReplyPart(p, request, BPF_IND, kRawIpv4Source);
  if (!errorsToo) return p.Finish();
  p.ErrorsStartHere();
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpDestinationUnreachable, 2, 0));
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpTimeExceeded, 1, 0));
  p.RejectUnless(kIcmpParameterProblem);
  p.Load(BPF_B, BPF_IND, 8 + 9).RejectUnless(1);             // quoted IP header's protocol
  p.Load(BPF_W, BPF_IND, 8 + 16).RejectUnless(destination);  // quoted destination
  p.Load(BPF_B, BPF_IND, 8);                                 // quoted IP header's length
  p.Add(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0F));
  p.Add(BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2));
  p.Add(BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0));
  p.Add(BPF_STMT(BPF_MISC | BPF_TAX, 0));  // X = where the quoted request begins, less 8
  p.Load(BPF_B, BPF_IND, 8).RejectUnless(kIcmpEchoRequest);
  p.Load(BPF_H, BPF_IND, 8 + 4).RejectUnless(request.identifier);
  p.Load(BPF_H, BPF_IND, 8 + 6).AcceptIf(request.sequence);
  return p.Finish();
}

// The raw ICMPv6 socket sees the ICMPv6 message alone.
std::vector<sock_filter> Ipv6Filter(const FilteredRequest& request, bool errorsToo) {
  Program p;
  ReplyPart(p, request, BPF_ABS, kIpv6Source);
  if (!errorsToo) return p.Finish();
  p.ErrorsStartHere();
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6DestinationUnreachable, 3, 0));
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6PacketTooBig, 2, 0));
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6TimeExceeded, 1, 0));
  p.RejectUnless(kIcmp6ParameterProblem);
  p.Load(BPF_B, BPF_ABS, 8 + 6).RejectUnless(58);     // quoted next header
  CompareIpv6(p, 8 + 24, request.destination.bytes);  // quoted destination
  p.Load(BPF_B, BPF_ABS, 8 + 40).RejectUnless(kIcmp6EchoRequest);
  p.Load(BPF_H, BPF_ABS, 8 + 40 + 4).RejectUnless(request.identifier);
  p.Load(BPF_H, BPF_ABS, 8 + 40 + 6).AcceptIf(request.sequence);
  return p.Finish();
}

}  // namespace

std::vector<sock_filter> RequestFilter(const FilteredRequest& request, bool errorsToo) {
  return request.destination.IsIpv6() ? Ipv6Filter(request, errorsToo) : Ipv4Filter(request, errorsToo);
}

std::vector<sock_filter> DatagramReplyFilter(const FilteredRequest& request) {
  Program p;
  ReplyPart(p, request, BPF_ABS, request.destination.IsIpv6() ? kIpv6Source : kIpv4Source);
  return p.Finish();
}

std::vector<sock_filter> NothingFilter() { return {BPF_STMT(BPF_RET | BPF_K, 0)}; }

}  // namespace korvane
