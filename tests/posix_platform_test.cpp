// The Linux platform services and the ping control's address texts, on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "icmp/ip_address.h"
#include "platform/posix_platform.h"
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

TEST_F(TempDirectory, AppendCreatesAndAppendsBytesAsGiven) {
  const std::string path = dir_ + "/pingdebug.txt";
  EXPECT_FALSE(platform_.IsOrdinaryFile(path));
  EXPECT_TRUE(platform_.AppendText(path, "one\r\n"));
  EXPECT_TRUE(platform_.AppendText(path, "two\r\n"));
  EXPECT_TRUE(platform_.IsOrdinaryFile(path));
  EXPECT_EQ(Read(path), "one\r\ntwo\r\n");
}

TEST_F(TempDirectory, DirectoryIsNotAnOrdinaryFileAndCannotBeAppendedTo) {
  const std::string path = dir_ + "/pingdebug.txt";
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  EXPECT_FALSE(platform_.IsOrdinaryFile(path));
  EXPECT_FALSE(platform_.AppendText(path, "x\r\n"));
}

TEST_F(TempDirectory, FifoUnderTheTraceNameNeitherCountsNorBlocks) {
  const std::string path = dir_ + "/pingdebug.txt";
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  EXPECT_FALSE(platform_.IsOrdinaryFile(path));
  EXPECT_FALSE(platform_.AppendText(path, "x\r\n"));  // no reader: fails at once
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
  int fds[2];
  int pumps = 0;
  bool flooded = false;
};

// The wait ends at its end, never before, and pumps once at its start and
// once per wake-up; a source that keeps saying "flooded" gets one pump a
// 10 ms slice, not a busy loop.
TEST(PosixWait, EndsOnTimeAndPumpsOnlyWhenReadyOrOncePerSliceInAFlood) {
  struct Case {
    int bytes;
    bool flooded;
    int maxPumps;
  };
  PosixPlatform platform(0, nullptr);
  for (const Case& c : {Case{0, false, 1}, Case{1, false, 2}, Case{1000, true, 7}}) {
    PipeSource source;
    source.flooded = c.flooded;
    for (int i = 0; i < c.bytes; ++i)
      ASSERT_EQ(write(source.fds[1], "x", 1), 1);
    const std::int64_t until = platform.MonotonicNanoseconds() + 50'000'000;
    platform.WaitUntil(until, source);
    EXPECT_GE(platform.MonotonicNanoseconds(), until);
    EXPECT_GE(source.pumps, 1);
    EXPECT_LE(source.pumps, c.maxPumps) << c.bytes;
  }
}

}  // namespace
}  // namespace korvane
