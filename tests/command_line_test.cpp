#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/information.h"
#include "cmdline/command_line.h"
#include "core/runtime_error.h"
#include "support/harness.h"

namespace korvane {
namespace {

using testing::Harness;

// Fields 1..11 as the splitter leaves them, up to the last set one; "-" marks
// an unset field.
std::vector<std::string> Split(const std::string& text) {
  Args args;
  SplitCommandLine(text, args);
  std::vector<std::string> fields;
  for (std::int16_t i = 1; i <= kFieldCount; ++i)
    fields.push_back(args(i).value_or("-"));
  while (!fields.empty() && fields.back() == "-")
    fields.pop_back();
  return fields;
}

struct SplitCase {
  std::string text;
  std::vector<std::string> fields;
};

TEST(SplitCommandLine, Grammar) {
  const std::vector<SplitCase> cases = {
      {"", {}},
      {"2 a b", {"2", "a", "b"}},
      {"2\ta\tb", {"2", "a", "b"}},
      {"2 \"my host\" b", {"2", "my host", "b"}},
      {"2 a  b", {"2", "a", "-", "b"}},
      {"2 a ", {"2", "a"}},
      {" 2 a", {"-", "2", "a"}},
      {"\"\" a", {"-", "a"}},
      {"2 \"\" a", {"2", "-", "a"}},
      {"2 a\"b c\"d", {"2", "ab cd"}},
      {"2 \"a b", {"2", "a b"}},
      {"2 \"a\tb\" c", {"2", "a\tb", "c"}},
      {"2 a\r\nb", {"2", "a\r\nb"}},  // only blank and tab separate
      {"1 h1 h2 h3 h4 h5 h6 h7 h8 h9 h10 h11",
       {"1", "h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9", "h10 h11"}},
      {"1 a b c d e f g h i j\t\tk \"l m\"",
       {"1", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j\t\tk l m"}},
      {"2 h\xC3\xA9te b", {"2", "h\xC3\xA9te", "b"}},
      // Blanks and tabs that end the line outside quotes belong to no field.
      {"1 h1 h2 h3 h4 h5 h6 h7 h8 h9 h10 \t ",
       {"1", "h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9", "h10"}},
      {"1 h1 h2 h3 h4 h5 h6 h7 h8 h9 \"h10 \"",
       {"1", "h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9", "h10 "}},
      {"2 \"a \t", {"2", "a \t"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(Split(c.text), c.fields) << "text: [" << c.text << "]";
  }
}

TEST(SplitCommandLine, LengthLimitCountsUtf16Units) {
  EXPECT_NO_THROW(Split(std::string(32766, 'a')));
  EXPECT_THROW(Split(std::string(32767, 'a')), RuntimeError);
  // 16383 two-byte characters are 16383 units, well under the limit...
  std::string accented;
  for (int i = 0; i < 16383; ++i)
    accented += "\xC3\xA9";
  EXPECT_NO_THROW(Split(accented));
  // ...while 16384 four-byte characters take two units each: 32768 in all.
  std::string wide;
  for (int i = 0; i < 16384; ++i)
    wide += "\xF0\x9F\x98\x80";
  EXPECT_THROW(Split(wide), RuntimeError);
}

TEST(ConvertThreshold, NumbersAndRounding) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"2", 2},
      {"2.5", 2},
      {"3.5", 4},
      {"-2.5", -2},
      {"-1", -1},
      {"0", 0},
      {"+7", 7},
      {"  12  ", 12},
      {"2.4999", 2},
      {"2.5001", 3},
      {"0.5", 0},
      {"1.5", 2},
      {".5", 0},
      {"4.", 4},
      {"-0.4", 0},
      {"32767", 32767},
      {"-32768", -32768},
      {"32767.4", 32767},
      {"-32768.5", -32768},
      {"0002", 2},
      {"2.50000000000000000000001", 3},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ConvertThreshold(text), expected) << text;
  }
  EXPECT_EQ(ConvertThreshold(std::nullopt), 0);
}

TEST(ConvertThreshold, RejectsWhatIsNotASixteenBitNumber) {
  for (const std::string text : {"x", "32768", "40000", "-32769", "32767.5", "1e3", "", " ", ".", "-",
                                 "1.2.3", "1 2", "0x10", "99999999999999999999999"}) {
    EXPECT_THROW(ConvertThreshold(text), RuntimeError) << text;
  }
}

TEST(ReadArguments, FillsHostTableInOrder) {
  Harness h;
  h.platform.SetCommandLine("3 a \"b c\" 192.0.2.7");
  ReadArguments(h.run);
  EXPECT_EQ(h.run.MinReplies, 3);
  ASSERT_EQ(h.run.HostCount, 3);
  EXPECT_EQ(h.run.Hosts(1).Address, "a");
  EXPECT_EQ(h.run.Hosts(2).Address, "b c");
  EXPECT_EQ(h.run.Hosts(3).Address, "192.0.2.7");
  EXPECT_EQ(h.run.Hosts(4).Address, "");
}

// With the trace off an argument error returns at once: no host, no pause, no
// trace file (its reason on standard error is checked with the whole run).
TEST(ReadArguments, BadThresholdWithTraceOffReturnsSilentlyWithNoHosts) {
  for (const std::string& line : {std::string("x a b"), std::string("32768 a"), std::string(40000, '1')}) {
    Harness h;
    h.platform.SetCommandLine(line);
    ReadArguments(h.run);
    EXPECT_EQ(h.run.HostCount, 0);
    EXPECT_EQ(h.run.MinReplies, 0);
    EXPECT_EQ(h.platform.SleptMs(), 0);
    EXPECT_FALSE(h.platform.FileExists(h.platform.TracePath()));
  }
}

// Only the whole argument text asks for the usage or the version.
TEST(InformationText, ExactlyTheOptionAlone) {
  for (const std::string text : {"--help", "-h"}) {
    EXPECT_EQ(InformationText(text, "9.8.7").value_or("").rfind("Usage: korvane THRESHOLD", 0), 0u) << text;
  }
  for (const std::string text : {"--version", "-V", "--version \t"})
    EXPECT_EQ(InformationText(text, "9.8.7"), "korvane 9.8.7\n");
  for (const std::string text : {"-5", "--help 1", "1 --version", "\"--help\"", "--HELP", "-v", ""}) {
    EXPECT_EQ(InformationText(text, "9.8.7"), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace korvane
