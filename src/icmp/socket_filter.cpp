#include "icmp/socket_filter.h"

#include "icmp/icmp_packet.h"

namespace korvane {
namespace {

// Jump offsets count the instructions skipped.
constexpr std::uint8_t To(std::uint8_t target, std::uint8_t from) {
  return static_cast<std::uint8_t>(target - from - 1);
}

// Where replies only are wanted, the error branch ends at once.
sock_filter ErrorsGate(bool errorsToo) {
  return errorsToo ? sock_filter BPF_STMT(BPF_JMP | BPF_JA, 0) : sock_filter BPF_STMT(BPF_RET | BPF_K, 0);
}

std::vector<sock_filter> Ipv4Filter(std::uint32_t destination, std::uint16_t identifier,
                                    std::uint16_t sequence, bool errorsToo) {
  // Offsets of the IND loads are from X: first the ICMP header, later the
  // quoted request less 8.
  constexpr std::uint8_t kAccept = 28, kReject = 29;
  return {
      /* 0*/ BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // X = IP header length
      /* 1*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),   // ICMP type
      /* 2*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpEchoReply, 0, To(9, 2)),
      /* 3*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 1),  // code
      /* 4*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, To(kReject, 4)),
      /* 5*/ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),  // identifier
      /* 6*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, 0, To(kReject, 6)),
      /* 7*/ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 6),  // sequence
      /* 8*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sequence, To(kAccept, 8), To(kReject, 8)),
      /* 9*/ ErrorsGate(errorsToo),
      /*10*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpDestinationUnreachable, To(13, 10), 0),
      /*11*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpTimeExceeded, To(13, 11), 0),
      /*12*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpParameterProblem, 0, To(kReject, 12)),
      /*13*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8 + 9),  // quoted IP header's protocol
      /*14*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, To(kReject, 14)),
      /*15*/ BPF_STMT(BPF_LD | BPF_W | BPF_IND, 8 + 16),  // quoted destination
      /*16*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, destination, 0, To(kReject, 16)),
      /*17*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),  // quoted IP header's length
      /*18*/ BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0F),
      /*19*/ BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2),
      /*20*/ BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
      /*21*/ BPF_STMT(BPF_MISC | BPF_TAX, 0),
      /*22*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),  // quoted ICMP type
      /*23*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpEchoRequest, 0, To(kReject, 23)),
      /*24*/ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 8 + 4),  // quoted identifier
      /*25*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, 0, To(kReject, 25)),
      /*26*/ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 8 + 6),  // quoted sequence
      /*27*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sequence, To(kAccept, 27), To(kReject, 27)),
      /*28*/ BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      /*29*/ BPF_STMT(BPF_RET | BPF_K, 0),
  };
}

std::uint32_t Word(const std::array<std::uint8_t, 16>& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 24 | static_cast<std::uint32_t>(bytes[at + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

std::vector<sock_filter> Ipv6Filter(const std::array<std::uint8_t, 16>& destination, std::uint16_t identifier,
                                    std::uint16_t sequence, bool errorsToo) {
  constexpr std::uint8_t kAccept = 29, kReject = 30;
  return {
      /* 0*/ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),  // ICMPv6 type
      /* 1*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6EchoReply, 0, To(8, 1)),
      /* 2*/ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 1),  // code
      /* 3*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, To(kReject, 3)),
      /* 4*/ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),  // identifier
      /* 5*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, 0, To(kReject, 5)),
      /* 6*/ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),  // sequence
      /* 7*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sequence, To(kAccept, 7), To(kReject, 7)),
      /* 8*/ ErrorsGate(errorsToo),
      /* 9*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6DestinationUnreachable, To(13, 9), 0),
      /*10*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6PacketTooBig, To(13, 10), 0),
      /*11*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6TimeExceeded, To(13, 11), 0),
      /*12*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6ParameterProblem, 0, To(kReject, 12)),
      /*13*/ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8 + 6),  // quoted next header
      /*14*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 58, 0, To(kReject, 14)),
      /*15*/ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 8 + 24),  // quoted destination, in four words
      /*16*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Word(destination, 0), 0, To(kReject, 16)),
      /*17*/ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 8 + 28),
      /*18*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Word(destination, 4), 0, To(kReject, 18)),
      /*19*/ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 8 + 32),
      /*20*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Word(destination, 8), 0, To(kReject, 20)),
      /*21*/ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 8 + 36),
      /*22*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Word(destination, 12), 0, To(kReject, 22)),
      /*23*/ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8 + 40),  // quoted ICMPv6 type
      /*24*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6EchoRequest, 0, To(kReject, 24)),
      /*25*/ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 8 + 40 + 4),  // quoted identifier
      /*26*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, 0, To(kReject, 26)),
      /*27*/ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 8 + 40 + 6),  // quoted sequence
      /*28*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sequence, To(kAccept, 28), To(kReject, 28)),
      /*29*/ BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      /*30*/ BPF_STMT(BPF_RET | BPF_K, 0),
  };
}

}  // namespace

std::vector<sock_filter> RequestFilter(const IpAddress& destination, std::uint16_t identifier,
                                       std::uint16_t sequence, bool errorsToo) {
  return destination.IsIpv6() ? Ipv6Filter(destination.bytes, identifier, sequence, errorsToo)
                              : Ipv4Filter(destination.Ipv4HostOrder(), identifier, sequence, errorsToo);
}

std::vector<sock_filter> NothingFilter() { return {BPF_STMT(BPF_RET | BPF_K, 0)}; }

}  // namespace korvane
