// A test tool: a name server that takes every query and never answers, so a
// test can show that a resolver which does not answer cannot hang the run.
//   silent_resolver READY_FILE   (listens on 127.0.0.1:53, UDP and TCP)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: silent_resolver READY_FILE\n");
    return 2;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  const int tcp = socket(AF_INET, SOCK_STREAM, 0);
  if (bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(tcp, 8) != 0) {
    std::perror("silent_resolver: bind");
    return 1;
  }
  if (FILE* ready = std::fopen(argv[1], "w")) std::fclose(ready);
  std::vector<int> held;  // accepted connections, kept open and unanswered
  const auto stopAt = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (std::chrono::steady_clock::now() < stopAt) {
    pollfd wait[2] = {{udp, POLLIN, 0}, {tcp, POLLIN, 0}};
    if (poll(wait, 2, 1000) <= 0) continue;
    char query[1500];
    if (wait[0].revents & POLLIN) recv(udp, query, sizeof query, 0);
    if (wait[1].revents & POLLIN) held.push_back(accept(tcp, nullptr, nullptr));
  }
  return 0;
}
