// The Linux platform services on the real system: the joined command line,
// UTF-8 text and its escaping, the trace file, the wait on a pipe; and the
// dotted-quad reading of addresses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "icmp/ip_address.h"
#include "linux/linux_icmp_family.h"
#include "linux/linux_socket_calls.h"
#include "linux/posix_platform.h"
#include "text/text.h"

namespace korvane {
namespace {

std::string JoinArgs(std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string program = "korvane";
  argv.push_back(program.data());
  for (std::string& a : args)
    argv.push_back(a.data());
  return JoinArguments(static_cast<int>(argv.size()), argv.data());
}

TEST(JoinArguments, QuotesOnlyWhatTheSplitterWouldCut) {
  EXPECT_EQ(JoinArgs({}), "");
  EXPECT_EQ(JoinArgs({"2", "a", "b"}), "2 a b");
  EXPECT_EQ(JoinArgs({"2", "my host", "b"}), "2 \"my host\" b");
  EXPECT_EQ(JoinArgs({"2", "", "b"}), "2 \"\" b");
  EXPECT_EQ(JoinArgs({"2", "a\tb"}), "2 \"a\tb\"");
  EXPECT_EQ(JoinArgs({"2", "a\"b"}), "2 a\"b");
  EXPECT_EQ(JoinArgs({"2", "h\xC3\xA9", "\xFF"}), "2 h\xC3\xA9 \xEF\xBF\xBD");
}

TEST(Utf8Text, InvalidSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(ToValidUtf8("ok"), "ok");
  EXPECT_EQ(ToValidUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // overlong
  EXPECT_EQ(ToValidUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(ToValidUtf8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // cut short
  EXPECT_EQ(ToValidUtf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16Length("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 5u);
}

// Control characters become visible escapes; everything else, backslashes,
// tabs, other characters and invalid UTF-8 included, stays byte for byte.
TEST(Utf8Text, ControlCharactersAreEscapedAndNothingElse) {
  struct Case {
    std::string text;
    std::string escaped;
  };
  const std::vector<Case> cases = {
      {"a\r\nb", "a\\r\\nb"},
      {std::string("\0\x01\x1b[31m\x1f", 8), "\\x00\\x01\\x1b[31m\\x1f"},
      {"tab\tstays", "tab\tstays"},
      {"del\x7f", "del\\x7f"},
      {"C:\\Tools\\k\\x1b.txt", "C:\\Tools\\k\\x1b.txt"},
      {"csi\xC2\x9B"
       "2J nel\xC2\x85 pad\xC2\x80",
       "csi\\u009b2J nel\\u0085 pad\\u0080"},
      {"nbsp\xC2\xA0 e\xC3\xA9 quote\xE2\x80\x9B", "nbsp\xC2\xA0 e\xC3\xA9 quote\xE2\x80\x9B"},
      {"latin1 \x9B"
       "2J \xE9 \xFF",
       "latin1 \\x9b2J \xE9 \xFF"},
      {"cut \xC2", "cut \xC2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeControlCharacters(c.text), c.escaped) << c.text;
  }
}

class TempDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string dir_;
  PosixPlatform platform_{0, nullptr};
};

// Only an existing regular file is opened for the trace, never through a
// final symbolic link, and nothing is ever created; a FIFO does not block.
// Each line is one append, bytes as given, after what another writer added.
TEST_F(TempDirectory, OpensOnlyAnExistingRegularFileAndAppendsToIt) {
  struct Case {
    std::string what;
    std::function<void(const std::string&)> place;
    TraceFileState state;
    std::string detail;
  };
  const std::string nothing = dir_ + "/nothing";
  const std::vector<Case> cases = {
      {"missing", [](const std::string&) {}, TraceFileState::Missing, ""},
      {"regular", [](const std::string& p) { std::ofstream{p} << "kept\n"; }, TraceFileState::Open, ""},
      {"directory", [](const std::string& p) { mkdir(p.c_str(), 0755); }, TraceFileState::NotRegular,
       "a directory"},
      {"FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0644); }, TraceFileState::NotRegular, "a FIFO"},
      {"link", [&](const std::string& p) { std::filesystem::create_symlink(nothing, p); },
       TraceFileState::NotRegular, "a symbolic link"},
      {"device", [](const std::string&) {}, TraceFileState::NotRegular, "a device"},
  };
  for (const Case& c : cases) {
    const std::string path = c.what == "device" ? "/dev/null" : dir_ + "/" + c.what;  // opens for writing
    c.place(path);
    const TraceFileOpening opened = platform_.OpenTraceFile(path);
    EXPECT_EQ(opened.state, c.state) << c.what;
    EXPECT_EQ(opened.detail, c.detail) << c.what;
    EXPECT_EQ(platform_.AppendToTraceFile(""), c.state == TraceFileState::Open) << c.what;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing"));
  EXPECT_FALSE(std::filesystem::exists(nothing));
  ASSERT_EQ(platform_.OpenTraceFile(dir_ + "/regular").state, TraceFileState::Open);
  std::ofstream(dir_ + "/regular", std::ios::app) << "other\n";
  EXPECT_TRUE(platform_.AppendToTraceFile("caf\xC3\xA9\r\n"));
  EXPECT_EQ(Read(dir_ + "/regular"), "kept\nother\ncaf\xC3\xA9\r\n");
}

TEST(DottedQuad, DecimalWithLeadingZerosNeverOctal) {
  struct Case {
    std::string text;
    std::optional<std::uint32_t> address;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", 0x7F000001},   {"127.000.000.001", 0x7F000001}, {"1.2.3.0000255", 0x010203FF},
      {"192.0.2.010", 0xC000020A}, {"255.255.255.255", 0xFFFFFFFF}, {"256.0.0.1", std::nullopt},
      {"1.2.3", std::nullopt},     {"1.2.3.4.", std::nullopt},      {"1.2.3.4 ", std::nullopt},
      {"", std::nullopt},          {"a.b.c.d", std::nullopt},       {"1..2.3", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseDottedQuad(c.text), c.address) << c.text;
  }
  EXPECT_EQ(FormatDottedQuad(0x7F000001), "127.0.0.1");
  EXPECT_EQ(FormatDottedQuad(0xC0000207), "192.0.2.7");
}

// An error the network reported about an earlier packet, still pending on the
// socket, does not cost the next packet its send; a failure of its own does.
// (A UDP socket to closed ports of 127.0.0.1: the kernel's port unreachable
// becomes the pending error, as an ICMP error does on a ping socket.)
TEST(SocketCalls, APendingErrorDoesNotCostTheNextSend) {
  const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_storage closed{};
  socklen_t length = ToSocketAddress(IpAddress::Ipv4(0x7F000001), closed);
  // A port of its own, given back: closed from then on.
  ASSERT_EQ(bind(udp, reinterpret_cast<const sockaddr*>(&closed), length), 0);
  ASSERT_EQ(getsockname(udp, reinterpret_cast<sockaddr*>(&closed), &length), 0);
  close(udp);
  const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_TRUE(SetOption(sender, IPPROTO_IP, IP_RECVERR, 1));
  const unsigned char packet[8] = {};
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(SendPacket(sender, packet, closed, length)) << round;
    pollfd error{sender, 0, 0};
    ASSERT_EQ(poll(&error, 1, 2000), 1) << "no port unreachable came back";
  }
  EXPECT_FALSE(SendPacket(sender, packet, closed, 1)) << "an address of the wrong length";
  close(sender);
}

// A source on a pipe: each pump reads one byte, and says "flooded" when asked to.
struct PipeSource : EventSource {
  PipeSource() { EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0); }
  ~PipeSource() override {
    close(fds[0]);
    close(fds[1]);
  }
  std::vector<std::intptr_t> WaitObjects() const override { return {fds[0]}; }
  bool DeliverPendingEvents() override {
    char byte;
    ++pumps;
    return read(fds[0], &byte, 1) == 1 && flooded;
  }
  bool DueWithoutWaitObject() const override { return due; }
  int fds[2];
  int pumps = 0;
  bool flooded = false;
  bool due = true;
};

// The wait ends at its end, never before, and pumps at its start only when
// something is due that the pipe does not signal, then once per wake-up; a
// source that keeps saying "flooded" gets one pump a 10 ms slice, not a busy
// loop.
TEST(PosixWait, EndsOnTimeAndPumpsOnlyWhenReadyOrOncePerSliceInAFlood) {
  struct Case {
    int bytes;
    bool flooded;
    bool due;
    int minPumps, maxPumps;
  };
  PosixPlatform platform(0, nullptr);
  for (const Case& c : {Case{0, false, true, 1, 1}, Case{0, false, false, 0, 0}, Case{1, false, false, 1, 1},
                        Case{1, false, true, 1, 2}, Case{1000, true, true, 1, 7}}) {
    PipeSource source;
    source.flooded = c.flooded;
    source.due = c.due;
    for (int i = 0; i < c.bytes; ++i)
      ASSERT_EQ(write(source.fds[1], "x", 1), 1);
    const std::int64_t until = platform.MonotonicNanoseconds() + 50'000'000;
    platform.WaitUntil(until, source);
    EXPECT_GE(platform.MonotonicNanoseconds(), until);
    EXPECT_GE(source.pumps, c.minPumps) << c.bytes << c.due;
    EXPECT_LE(source.pumps, c.maxPumps) << c.bytes << c.due;
  }
}

}  // namespace
}  // namespace korvane
