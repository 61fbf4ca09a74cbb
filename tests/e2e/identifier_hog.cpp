// A test tool that plays a local user who takes ICMP identifiers.
//   identifier_hog READY_FILE
//     binds an IPv4 datagram ICMP socket to each of 1 to 65535, in child
//     processes of up to 16,000 descriptors each, writes READY_FILE once all
//     are held, and holds them until it is killed.
//   identifier_hog --steal UID SECONDS
//     for SECONDS, binds a socket of its own, with SO_REUSEADDR on, to every
//     identifier that a datagram ICMP or ICMPv6 socket of UID holds (read from
//     /proc/net/icmp and icmp6), so that the replies would come to it; prints
//     "stole N, refused M" at the end.
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

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

int HoldAll(const char* readyFile) {
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
  if (FILE* ready = std::fopen(readyFile, "w")) std::fclose(ready);
  pause();
  return 0;
}

// Binds a socket of the family to the identifier, as another user would to take its replies.
bool Steal(int family, int identifier) {
  const int fd = socket(family, SOCK_DGRAM, family == AF_INET6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in6 address{};  // port at the same place for both families
  address.sin6_family = static_cast<sa_family_t>(family);
  address.sin6_port = htons(static_cast<unsigned short>(identifier));
  const socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) return true;  // kept open
  close(fd);
  return false;
}

int StealFrom(const std::string& uid, int seconds) {
  std::set<std::pair<int, int>> tried;
  int stolen = 0, refused = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    for (const auto& [path, family] :
         {std::pair{"/proc/net/icmp", AF_INET}, std::pair{"/proc/net/icmp6", AF_INET6}}) {
      std::ifstream table(path);
      std::string line;
      std::getline(table, line);  // the heading
      while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, owner;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> owner;
        const std::size_t colon = local.rfind(':');
        if (owner != uid || colon == std::string::npos) continue;
        const int identifier = static_cast<int>(std::strtol(local.c_str() + colon + 1, nullptr, 16));
        if (!tried.insert({family, identifier}).second) continue;
        (Steal(family, identifier) ? stolen : refused) += 1;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  std::printf("stole %d, refused %d\n", stolen, refused);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--steal") return StealFrom(argv[2], std::atoi(argv[3]));
  if (argc == 2) return HoldAll(argv[1]);
  std::fprintf(stderr, "usage: identifier_hog READY_FILE | identifier_hog --steal UID SECONDS\n");
  return 2;
}
