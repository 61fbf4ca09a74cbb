// A test tool that plays a local user who holds every ICMP identifier: it
// binds an IPv4 datagram ICMP socket to each of 1 to 65535, in child
// processes of up to 16,000 descriptors each, writes READY_FILE once all are
// held, and holds them until it is killed.
//   identifier_hog READY_FILE
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr int kPerChild = 16000;
constexpr int kIdentifiers = 65535;

// Binds the identifiers from first on, up to kPerChild of them; reports on the pipe.
[[noreturn]] void Hold(int first, int report) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  int held = 0;
  for (int id = first; id < first + kPerChild && id <= kIdentifiers; ++id) {
    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(id));
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) ++held;
  }
  if (write(report, &held, sizeof held) != sizeof held) _exit(1);
  pause();
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: identifier_hog READY_FILE\n");
    return 2;
  }
  int report[2];
  if (pipe(report) != 0) return 1;
  int children = 0;
  for (int first = 1; first <= kIdentifiers; first += kPerChild, ++children) {
    if (fork() == 0) Hold(first, report[1]);
  }
  int total = 0;
  for (int i = 0; i < children; ++i) {
    int held = 0;
    if (read(report[0], &held, sizeof held) != sizeof held) return 1;
    total += held;
  }
  std::fprintf(stderr, "identifier_hog: %d identifiers held\n", total);
  if (total < kIdentifiers - 1) return 1;  // one may be taken already
  if (FILE* ready = std::fopen(argv[1], "w")) std::fclose(ready);
  pause();
}
