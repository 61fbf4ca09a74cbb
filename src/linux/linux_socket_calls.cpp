#include "linux/linux_socket_calls.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane {
namespace {

// Room in the kernel for what passes the filter while the checker works.
constexpr int kSocketBufferBytes = 1 << 20;
// Messages dropped at most when a raw socket is readied for a request: more
// than its queue can hold of the smallest packets.
constexpr int kDiscardBatch = 64;
constexpr int kMaxDiscardBatches = 64;

}  // namespace

bool SetOption(int fd, int level, int option, int value) {
  return setsockopt(fd, level, option, &value, sizeof value) == 0;
}

bool AttachFilter(int fd, std::vector<sock_filter> program) {
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

void ClearPendingError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
}

bool SendPacket(int fd, std::span<const unsigned char> packet, const sockaddr_storage& to, socklen_t length) {
  bool sent = false;
  for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
    sent = sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), length) ==
           static_cast<ssize_t>(packet.size());
    if (!sent) ClearPendingError(fd);
  }
  return sent;
}

void Discard(int fd) {
  mmsghdr batch[kDiscardBatch]{};  // no buffers: each message is read cut to nothing
  for (int i = 0; i < kMaxDiscardBatches; ++i) {
    if (recvmmsg(fd, batch, kDiscardBatch, MSG_DONTWAIT, nullptr) < kDiscardBatch) return;
  }
}

void SetReceiveOptions(int fd) {
  SetOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
  SetOption(fd, SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
}

bool FillRandom(std::span<unsigned char> bytes) {
  if (getrandom(bytes.data(), bytes.size(), GRND_NONBLOCK) == static_cast<ssize_t>(bytes.size())) return true;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool filled = read(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  return filled;
}

}  // namespace korvane
