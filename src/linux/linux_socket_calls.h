#pragma once
// Small system calls on the ICMP sockets, and the random bytes of requests.
#include <linux/filter.h>
#include <sys/socket.h>

#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

bool SetOption(int fd, int level, int option, int value);

// Replaces the socket's kernel filter at once: what arrives from then on is
// judged by the new one; what is queued stays.
bool AttachFilter(int fd, std::vector<sock_filter> program);

// Reads a pending socket error, which clears it.
void ClearPendingError(int fd);

// Sends the packet whole. A send fails with an error the network reported
// about an earlier packet when that is still pending on the socket, and the
// failed send clears it; so only a second failure is this packet's own.
bool SendPacket(int fd, std::span<const unsigned char> packet, const sockaddr_storage& to, socklen_t length);

// Reads and drops what waits in a socket's queue, up to a bound.
void Discard(int fd);

// Without these the round-trip time is taken when the reply is read, and the
// queue has the kernel's default room: worse, not unsafe.
void SetReceiveOptions(int fd);

// From the system's random source, which never blocks once the system is up;
// /dev/urandom where it is not ready yet or missing. False: none to be had.
bool FillRandom(std::span<unsigned char> bytes);

}  // namespace korvane
