#include "linux/socket_filter.h"

#include <linux/filter.h>

#include "icmp/icmp_packet.h"

namespace korvane {
namespace {

// Jump targets written as these marks are set to the program's two last
// instructions, accept and reject, once the program is whole.
constexpr std::uint8_t kToAccept = 0xFE, kToReject = 0xFF;

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

  std::vector<sock_filter> Finish() {
    const std::size_t accept = code_.size();
    code_.push_back(BPF_STMT(BPF_RET | BPF_K, 0xFFFF));
    code_.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    for (std::size_t i = 0; i < accept; ++i) {
      if (BPF_CLASS(code_[i].code) != BPF_JMP || BPF_OP(code_[i].code) == BPF_JA) continue;
      for (std::uint8_t* target : {&code_[i].jt, &code_[i].jf}) {
        if (*target == kToAccept) *target = static_cast<std::uint8_t>(accept - i - 1);
        if (*target == kToReject) *target = static_cast<std::uint8_t>(accept + 1 - i - 1);
      }
    }
    return std::move(code_);
  }

 private:
  std::vector<sock_filter> code_;
};

std::uint32_t Word(const std::array<std::uint8_t, 16>& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 24 | static_cast<std::uint32_t>(bytes[at + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

// Compares the 16 bytes from offset at (absolute) with the address.
void CompareIpv6(Program& p, std::uint32_t at, const std::array<std::uint8_t, 16>& address, bool last) {
  for (std::uint32_t word = 0; word < 4; ++word) {
    p.Load(BPF_W, BPF_ABS, at + 4 * word);
    if (last && word == 3) {
      p.AcceptIf(Word(address, 4 * word));
    } else {
      p.RejectUnless(Word(address, 4 * word));
    }
  }
}

// The source of the packet, from its IP header, wherever the data begins.
constexpr std::uint32_t kIpv4Source = SKF_NET_OFF + 12;
constexpr std::uint32_t kIpv6Source = SKF_NET_OFF + 8;

// An echo reply (code 0) with our identifier and sequence from the address we
// sent to, the ICMP header at offset 0; anything else goes to the error part
// at the instruction after the reply part (or is rejected when there is none).
void ReplyPart(Program& p, const IpAddress& destination, std::uint16_t identifier, std::uint16_t sequence,
               std::uint8_t skipToErrors) {
  const bool ipv6 = destination.IsIpv6();
  p.Load(BPF_B, BPF_ABS, 0);  // type
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ipv6 ? kIcmp6EchoReply : kIcmpEchoReply, 0, skipToErrors));
  p.Load(BPF_B, BPF_ABS, 1).RejectUnless(0);  // code
  p.Load(BPF_H, BPF_ABS, 4).RejectUnless(identifier);
  p.Load(BPF_H, BPF_ABS, 6).RejectUnless(sequence);
  if (ipv6) {
    CompareIpv6(p, kIpv6Source, destination.bytes, true);
  } else {
    p.Load(BPF_W, BPF_ABS, kIpv4Source).AcceptIf(destination.Ipv4HostOrder());
  }
}

// The raw IPv4 socket sees whole datagrams: the ICMP message follows an IP
// header of X bytes, so its fields are read relative to X.
std::vector<sock_filter> Ipv4Filter(std::uint32_t destination, std::uint16_t identifier,
                                    std::uint16_t sequence, bool errorsToo) {
  Program p;
  p.Add(BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0));  // X = IP header length
  p.Load(BPF_B, BPF_IND, 0);                      // ICMP type
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpEchoReply, 0, 8));
  p.Load(BPF_B, BPF_IND, 1).RejectUnless(0);  // code
  p.Load(BPF_H, BPF_IND, 4).RejectUnless(identifier);
  p.Load(BPF_H, BPF_IND, 6).RejectUnless(sequence);
  p.Load(BPF_W, BPF_ABS, 12).AcceptIf(destination);  // the reply's source
  if (!errorsToo) return p.Add(BPF_STMT(BPF_RET | BPF_K, 0)).Finish();
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
  p.Load(BPF_H, BPF_IND, 8 + 4).RejectUnless(identifier);
  p.Load(BPF_H, BPF_IND, 8 + 6).AcceptIf(sequence);
  return p.Finish();
}

// The raw ICMPv6 socket sees the ICMPv6 message alone.
std::vector<sock_filter> Ipv6Filter(const IpAddress& destination, std::uint16_t identifier,
                                    std::uint16_t sequence, bool errorsToo) {
  Program p;
  ReplyPart(p, destination, identifier, sequence, 14);
  if (!errorsToo) return p.Add(BPF_STMT(BPF_RET | BPF_K, 0)).Finish();
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6DestinationUnreachable, 3, 0));
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6PacketTooBig, 2, 0));
  p.Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6TimeExceeded, 1, 0));
  p.RejectUnless(kIcmp6ParameterProblem);
  p.Load(BPF_B, BPF_ABS, 8 + 6).RejectUnless(58);    // quoted next header
  CompareIpv6(p, 8 + 24, destination.bytes, false);  // quoted destination
  p.Load(BPF_B, BPF_ABS, 8 + 40).RejectUnless(kIcmp6EchoRequest);
  p.Load(BPF_H, BPF_ABS, 8 + 40 + 4).RejectUnless(identifier);
  p.Load(BPF_H, BPF_ABS, 8 + 40 + 6).AcceptIf(sequence);
  return p.Finish();
}

}  // namespace

std::vector<sock_filter> RequestFilter(const IpAddress& destination, std::uint16_t identifier,
                                       std::uint16_t sequence, bool errorsToo) {
  return destination.IsIpv6() ? Ipv6Filter(destination, identifier, sequence, errorsToo)
                              : Ipv4Filter(destination.Ipv4HostOrder(), identifier, sequence, errorsToo);
}

std::vector<sock_filter> DatagramReplyFilter(const IpAddress& destination, std::uint16_t identifier,
                                             std::uint16_t sequence) {
  Program p;
  ReplyPart(p, destination, identifier, sequence, kToReject);
  return p.Finish();
}

std::vector<sock_filter> NothingFilter() { return {BPF_STMT(BPF_RET | BPF_K, 0)}; }

}  // namespace korvane
