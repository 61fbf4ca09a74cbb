#include "icmp/socket_filter.h"

#include "icmp/icmp_packet.h"

namespace korvane {

std::vector<sock_filter> Ipv4ReplyFilter(std::uint16_t identifier) {
  // Offsets of the IND loads are from X: first the ICMP header, later the
  // quoted request less 8. Jump offsets count the instructions skipped.
  constexpr std::uint8_t kAccept = 21, kReject = 22;
  const auto to = [](std::uint8_t target, std::uint8_t from) {
    return static_cast<std::uint8_t>(target - from - 1);
  };
  return {
      /* 0*/ BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // X = IP header length
      /* 1*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),   // ICMP type
      /* 2*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpEchoReply, 0, to(7, 2)),
      /* 3*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 1),  // code
      /* 4*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, to(kReject, 4)),
      /* 5*/ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),  // identifier
      /* 6*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, to(kAccept, 6), to(kReject, 6)),
      /* 7*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpDestinationUnreachable, to(10, 7), 0),
      /* 8*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpTimeExceeded, to(10, 8), 0),
      /* 9*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpParameterProblem, 0, to(kReject, 9)),
      /*10*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8 + 9),  // quoted IP header's protocol
      /*11*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, to(kReject, 11)),
      /*12*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),  // quoted IP header's length
      /*13*/ BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0F),
      /*14*/ BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2),
      /*15*/ BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
      /*16*/ BPF_STMT(BPF_MISC | BPF_TAX, 0),
      /*17*/ BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),  // quoted ICMP type
      /*18*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmpEchoRequest, 0, to(kReject, 18)),
      /*19*/ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 8 + 4),  // quoted identifier
      /*20*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, to(kAccept, 20), to(kReject, 20)),
      /*21*/ BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      /*22*/ BPF_STMT(BPF_RET | BPF_K, 0),
  };
}

std::vector<sock_filter> Ipv6ReplyFilter(std::uint16_t identifier) {
  constexpr std::uint8_t kAccept = 16, kReject = 17;
  const auto to = [](std::uint8_t target, std::uint8_t from) {
    return static_cast<std::uint8_t>(target - from - 1);
  };
  return {
      /* 0*/ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),  // ICMPv6 type
      /* 1*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6EchoReply, 0, to(6, 1)),
      /* 2*/ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 1),  // code
      /* 3*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, to(kReject, 3)),
      /* 4*/ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),  // identifier
      /* 5*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, to(kAccept, 5), to(kReject, 5)),
      /* 6*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6DestinationUnreachable, to(10, 6), 0),
      /* 7*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6PacketTooBig, to(10, 7), 0),
      /* 8*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6TimeExceeded, to(10, 8), 0),
      /* 9*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6ParameterProblem, 0, to(kReject, 9)),
      /*10*/ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8 + 6),  // quoted next header
      /*11*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 58, 0, to(kReject, 11)),
      /*12*/ BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8 + 40),  // quoted ICMPv6 type
      /*13*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIcmp6EchoRequest, 0, to(kReject, 13)),
      /*14*/ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 8 + 40 + 4),  // quoted identifier
      /*15*/ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, identifier, to(kAccept, 15), to(kReject, 15)),
      /*16*/ BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      /*17*/ BPF_STMT(BPF_RET | BPF_K, 0),
  };
}

}  // namespace korvane
