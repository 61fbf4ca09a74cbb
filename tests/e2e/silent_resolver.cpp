// A test tool: a name server on port 53 of a loopback address (or 0.0.0.0).
//   silent_resolver READY_FILE ADDRESS [delay=MS] [NAME=IP[/drop] | NAME=servfail | NAME=formerr]...
// Without rules it takes every query, over UDP and TCP, and never answers, so
// a test can show that a name server which does not answer cannot hang the
// run. With rules it answers over UDP: a NAME's address to an A or AAAA query
// of its family (no record to the other, or with /drop no answer at all), a
// server failure or a format error for a NAME marked so, "no such name" for
// any other name; each MS late with a delay.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kTypeA = 1, kTypeAaaa = 28;
constexpr int kFormatError = 1, kServerFailure = 2, kNoSuchName = 3;

// The queried name in lower case, and where the question ends; false for a
// query this tool does not read (compressed or cut short).
bool ReadQuestion(const unsigned char* query, std::size_t size, std::string& name, std::size_t& end) {
  std::size_t at = 12;
  while (at < size && query[at] != 0) {
    const std::size_t length = query[at];
    if (length > 63 || at + 1 + length > size) return false;
    if (!name.empty()) name += '.';
    for (std::size_t i = 0; i < length; ++i)
      name += static_cast<char>(std::tolower(query[at + 1 + i]));
    at += 1 + length;
  }
  end = at + 5;  // the root label, type and class
  return end <= size;
}

std::vector<unsigned char> Answer(const unsigned char* query, std::size_t size,
                                  const std::map<std::string, std::string>& rules) {
  std::string name;
  std::size_t end = 0;
  if (size < 12 || !ReadQuestion(query, size, name, end)) return {};
  std::vector<unsigned char> reply(query, query + end);
  reply[2] = 0x84 | (query[2] & 0x01);  // a response, authoritative, recursion as asked
  reply[3] = 0x80;                      // recursion available, no error
  reply[6] = reply[7] = reply[8] = reply[9] = reply[10] = reply[11] = 0;
  const int type = (query[end - 4] << 8) | query[end - 3];
  const auto rule = rules.find(name);
  if (rule == rules.end() || rule->second == "servfail" || rule->second == "formerr") {
    reply[3] |= rule == rules.end() ? kNoSuchName : rule->second == "formerr" ? kFormatError : kServerFailure;
    return reply;
  }
  unsigned char address[16];
  const std::string text = rule->second.substr(0, rule->second.find('/'));
  const bool ipv6 = text.find(':') != std::string::npos;
  if (type != (ipv6 ? kTypeAaaa : kTypeA)) {
    if (text != rule->second) return {};  // /drop: the other family's query is never answered
    return reply;                         // the name is known: no record of this type
  }
  if (inet_pton(ipv6 ? AF_INET6 : AF_INET, text.c_str(), address) != 1) return reply;
  reply[7] = 1;
  const unsigned char length = ipv6 ? 16 : 4, typeLow = static_cast<unsigned char>(type);
  // The name (a pointer to the question's), type, class IN, 60 s to live, the address.
  const unsigned char record[] = {0xc0, 12, 0, typeLow, 0, 1, 0, 0, 0, 60, 0, length};
  reply.insert(reply.end(), record, record + sizeof record);
  reply.insert(reply.end(), address, address + length);
  return reply;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: silent_resolver READY_FILE ADDRESS [delay=MS] [NAME=IP[/drop] | NAME=servfail | "
                 "NAME=formerr]...\n");
    return 2;
  }
  std::map<std::string, std::string> rules;
  for (int i = 3; i < argc; ++i) {
    const char* equals = std::strchr(argv[i], '=');
    if (!equals) return 2;
    rules[std::string(argv[i], static_cast<std::size_t>(equals - argv[i]))] = equals + 1;
  }
  const auto delay = std::chrono::milliseconds(rules.count("delay") ? std::stoi(rules["delay"]) : 0);
  rules.erase("delay");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  // Address reuse lets a silent one on 0.0.0.0 and answering ones on single
  // addresses run side by side; only a silent one takes TCP.
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  const int tcp = rules.empty() ? socket(AF_INET, SOCK_STREAM, 0) : -1;
  const int reuse = 1;
  setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (inet_pton(AF_INET, argv[2], &address.sin_addr) != 1 ||
      bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (tcp >= 0 &&
       (bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(tcp, 8) != 0))) {
    std::perror("silent_resolver: bind");
    return 1;
  }
  if (FILE* ready = std::fopen(argv[1], "w")) std::fclose(ready);
  std::vector<int> held;  // accepted connections, kept open and unanswered
  struct Late {
    std::chrono::steady_clock::time_point due;
    std::vector<unsigned char> reply;
    sockaddr_in to;
  };
  std::deque<Late> late;  // answers not yet due, in the order they fall due
  const auto stopAt = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (std::chrono::steady_clock::now() < stopAt) {
    for (; !late.empty() && late.front().due <= std::chrono::steady_clock::now(); late.pop_front())
      sendto(udp, late.front().reply.data(), late.front().reply.size(), 0,
             reinterpret_cast<const sockaddr*>(&late.front().to), sizeof late.front().to);
    const auto untilDue = late.empty() ? std::chrono::milliseconds(1000)
                                       : std::chrono::ceil<std::chrono::milliseconds>(
                                             late.front().due - std::chrono::steady_clock::now());
    pollfd wait[2] = {{udp, POLLIN, 0}, {tcp, POLLIN, 0}};
    if (poll(wait, 2, static_cast<int>(std::max<long long>(untilDue.count(), 0))) <= 0) continue;
    if (wait[0].revents & POLLIN) {
      unsigned char query[1500];
      sockaddr_in from{};
      socklen_t fromSize = sizeof from;
      const ssize_t size =
          recvfrom(udp, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
      if (size > 0 && !rules.empty()) {
        std::vector<unsigned char> reply = Answer(query, static_cast<std::size_t>(size), rules);
        if (!reply.empty())
          late.push_back({std::chrono::steady_clock::now() + delay, std::move(reply), from});
      }
    }
    if (wait[1].revents & POLLIN) held.push_back(accept(tcp, nullptr, nullptr));
  }
  return 0;
}
