// The pause and the trace line, then whole runs of the program: trace,
// arguments, probe loop and verdict.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/pause.h"
#include "core/trace.h"
#include "platform/setup_status.h"
#include "support/harness.h"

namespace korvane {
namespace {

using testing::Harness;
using Messages = std::vector<std::string>;

struct TracedHarness : Harness {
  TracedHarness() { platform.CreateTraceFile(); }
};

TEST(Pause, WaitsWholeTenMillisecondsAsOneWait) {
  struct Case {
    std::int16_t ms;
    int waitedMs;
  };
  for (const Case& c :
       {Case{5, 0}, Case{9, 0}, Case{10, 10}, Case{15, 10}, Case{1000, 1000}, Case{-20, 0}, Case{0, 0}}) {
    Harness h;
    Pause(h.run, c.ms);
    EXPECT_EQ(h.platform.SleptMs(), c.waitedMs) << c.ms;
    EXPECT_EQ(h.platform.Waits(), c.waitedMs > 0 ? 1 : 0) << c.ms;
    EXPECT_EQ(h.platform.EarlyWakes(), 0) << c.ms;
  }
}

// Events are delivered when they are due, and the pause still ends exactly
// at its end: neither cut short nor stretched by what it delivered.
TEST(Pause, WakesForDueEventsAndEndsOnTime) {
  Harness h;
  h.run.AwaitingReply = true;
  h.run.CurrentHost = 1;
  const std::int64_t start = h.platform.Now();
  h.control.SendEcho("192.0.2.7");
  h.control.ReplyAt(start + 3, "192.0.2.7", 3);
  h.control.ReplyAt(start + 27, "192.0.2.7", 27);
  h.control.ReplyAt(start + 50, "192.0.2.7", 50);  // at the very end: still this pause's
  Pause(h.run, 50);
  EXPECT_EQ(h.platform.Now() - start, 50);
  EXPECT_EQ(h.platform.EarlyWakes(), 2);
  EXPECT_EQ(h.run.Hosts(1).ReplyTime, 50);
}

TEST(Pause, DeliversControlEventsOnlyInsideItsPumps) {
  TracedHarness h;
  ASSERT_TRUE(OpenTrace(h.run));
  h.run.DebugOn = kTrue;
  h.run.Hosts(1).Address = "192.0.2.7";
  h.run.CurrentHost = 1;
  h.run.AwaitingReply = true;
  h.control.ErrorAt(h.platform.Now());
  EXPECT_TRUE(h.platform.TraceLines().empty());
  Pause(h.run, 5);  // no slice, no pump
  EXPECT_TRUE(h.platform.TraceLines().empty());
  Pause(h.run, 10);
  EXPECT_EQ(h.platform.TraceLines().size(), 1u);
}

TEST(TraceLine, StampsLocalTimeAndJoinsPiecesWithCrLf) {
  TracedHarness h;
  h.platform.SetLocalTime(2024, 3, 2, 9, 5, 3);
  ASSERT_TRUE(OpenTrace(h.run));
  TraceLine(h.run, {" <-- Ping Response from ", "192.0.2.7", " (", 23, " ms)"});
  h.platform.SetLocalTime(1999, 12, 31, 23, 59, 59);
  TraceLine(h.run, {" Start"});
  EXPECT_EQ(h.platform.FileText(h.platform.TracePath()),
            "2024-03-02 09:05:03 <-- Ping Response from 192.0.2.7 (23 ms)\r\n"
            "1999-12-31 23:59:59 Start\r\n");
}

TEST(RunChecks, TypicalRunTracesEveryStepAndMeetsTheThreshold) {
  TracedHarness h;
  h.control.Resolve("alpha", "192.0.2.1");
  h.control.Resolve("beta", "192.0.2.2");
  h.control.ReplyAfter("192.0.2.1", 12, 12);
  EXPECT_EQ(h.RunProgram("1 alpha beta"), 100);
  EXPECT_EQ(h.platform.TraceMessages(),
            (Messages{"", " Start", " CommandLine = 1 alpha beta", " --> DNS resolving on alpha",
                      " <-- DNS resolved to 192.0.2.1", " --> Sending Ping to 192.0.2.1",
                      " <-- Ping Response from 192.0.2.1 (12 ms)", " --> DNS resolving on beta",
                      " <-- DNS resolved to 192.0.2.2", " --> Sending Ping to 192.0.2.2",
                      " --- Ping timed out: 192.0.2.2", " Return Value: 100"}));
  // 100 + 50 + one poll for alpha; 100 + 50 + 5050 for beta; 500 at the end.
  EXPECT_EQ(h.platform.SleptMs(), 200 + 5200 + 500);
  EXPECT_EQ(h.run.CurrentHost, 3);
  EXPECT_EQ(h.platform.TraceLines().at(1), "2024-03-02 09:05:03 Start");
}

TEST(RunChecks, VerdictComparesAnswersWithTheThreshold) {
  struct Case {
    std::string commandLine;
    int exitStatus;
  };
  // up1 and up2 answer, down never does.
  const std::vector<Case> cases = {
      {"0 down", 100},         {"-3 down", 100},        {" 2 down", 100},  // threshold 0
      {"1 down up1", 100},     {"2 down up1", 0},       {"2 up1 up2", 100},
      {"3 up1 up2", 0},        {"2.5 up1 up2", 100},    {"32767 up1", 0},
      {"1 down down down", 0}, {"1 up1 \"\" up2", 100}, {"2 up1 \"\" up2", 0},
  };
  for (const Case& c : cases) {
    for (bool traceOn : {false, true}) {
      Harness h;
      if (traceOn) h.platform.CreateTraceFile();
      h.control.Resolve("up1", "192.0.2.1");
      h.control.Resolve("up2", "192.0.2.2");
      h.control.Resolve("down", "192.0.2.3");
      h.control.ReplyAfter("192.0.2.1", 5, 1);
      h.control.ReplyAfter("192.0.2.2", 5, 1);
      EXPECT_EQ(h.RunProgram(c.commandLine), c.exitStatus) << c.commandLine;
      if (traceOn) {
        EXPECT_EQ(h.platform.TraceMessages().back(),
                  c.exitStatus == 100 ? " Return Value: 100" : " Return Value: 0");
      }
    }
  }
}

TEST(RunChecks, WithoutTraceFileNothingIsWrittenAndNoFinalPause) {
  Harness h;
  h.control.ReplyAfter("192.0.2.7", 5, 1);
  EXPECT_EQ(h.RunProgram("1 192.0.2.7"), 100);
  EXPECT_FALSE(h.platform.FileExists(h.platform.TracePath()));
  EXPECT_EQ(h.platform.SleptMs(), 100 + 50 + 50);
}

TEST(RunChecks, NoHostWaitsOneSecondAndEndsWithZero) {
  const std::string ignoredOne = "host 1 is empty and ends the host list: the 1 host after it is ignored";
  const std::string noHost = "no host named: nothing to check (korvane --help)";
  for (const auto& [line, problems] :
       std::vector<std::pair<std::string, Messages>>{{"", {noHost}},
                                                     {"2", {noHost}},
                                                     {"\"\"", {noHost}},
                                                     {"2 \"\" a", {ignoredOne}},
                                                     {"1  a", {ignoredOne}}}) {
    TracedHarness h;
    EXPECT_EQ(h.RunProgram(line), 0) << line;
    EXPECT_EQ(h.platform.SleptMs(), 1000);
    EXPECT_EQ(h.platform.TraceMessages(), (Messages{"", " Start", " CommandLine = " + line}));
    EXPECT_TRUE(h.control.Calls().empty());
    EXPECT_EQ(h.platform.Problems(), problems) << line;
  }
}

// Host text that is not checked is reported, and so is a threshold that
// decides the verdict before any host is asked; a quoted blank is part of a
// host, and a threshold equal to the hosts checked can go either way.
TEST(RunChecks, ReportsHostTextItIgnoresAndAThresholdThatFixesTheVerdict) {
  const std::string alwaysUp = ", 0 or below: every run ends up (100)";
  for (const auto& [line, problems] : std::vector<std::pair<std::string, Messages>>{
           {"0 a \"\" b c",
            {"host 2 is empty and ends the host list: the 2 hosts after it are ignored",
             "the threshold is 0" + alwaysUp}},
           {"1 a b c d e f g h i j k", {"more than ten hosts: the tenth host takes the rest of the line"}},
           {"1 a b c d e f g h i \"j k\"", {}},
           {" 2 a", {"the threshold is empty, which counts as 0: every run ends up (100)"}},
           {".5 a", {"the threshold is 0" + alwaysUp}},
           {"2 a b", {}},
           {"3 a \"\" b",
            {"host 2 is empty and ends the host list: the 1 host after it is ignored",
             "the threshold is 3, more than the 1 host checked: every run ends down (0)"}},
           {"11 a b c d e f g h i j",
            {"the threshold is 11, more than the 10 hosts checked: every run ends down (0)"}}}) {
    Harness h;
    h.RunProgram(line);
    EXPECT_EQ(h.platform.Problems(), problems) << line;
  }
}

TEST(RunChecks, ArgumentErrorWithTraceOnEndsAfterHalfASecond) {
  struct Case {
    std::string commandLine;
    Messages trace;
    std::string problem;
  };
  const std::string tooLong = "1 " + std::string(32765, 'a');
  const std::vector<Case> cases = {
      {"x 192.0.2.7",
       {"", " Start", " CommandLine = x 192.0.2.7", " Argument Error"},
       "argument error: the threshold is not a number (korvane --help)"},
      {"40000 192.0.2.7",
       {"", " Start", " CommandLine = 40000 192.0.2.7", " Argument Error"},
       "argument error: the threshold is not within -32768 to 32767 (korvane --help)"},
      {"32767.5 a",
       {"", " Start", " CommandLine = 32767.5 a", " Argument Error"},
       "argument error: the threshold is not within -32768 to 32767 (korvane --help)"},
      {tooLong,
       {"", " Start", " Argument Error"},
       "argument error: the command line is too long: 32767 UTF-16 code units or more (korvane --help)"},
  };
  for (const Case& c : cases) {
    TracedHarness h;
    EXPECT_EQ(h.RunProgram(c.commandLine), 0);
    EXPECT_EQ(h.platform.TraceMessages(), c.trace);
    EXPECT_EQ(h.platform.SleptMs(), 500);
    EXPECT_TRUE(h.control.Calls().empty());
    EXPECT_EQ(h.platform.Problems(), Messages{c.problem});
  }
}

TEST(RunChecks, ArgumentErrorWithTraceOffEndsOnTheNoHostRule) {
  Harness h;
  EXPECT_EQ(h.RunProgram("x 192.0.2.7"), 0);
  EXPECT_EQ(h.platform.SleptMs(), 1000);
  EXPECT_TRUE(h.control.Calls().empty());
  EXPECT_FALSE(h.platform.FileExists(h.platform.TracePath()));
  EXPECT_EQ(h.platform.Problems(),
            Messages{"argument error: the threshold is not a number (korvane --help)"});
}

// The trace is diagnostics: a trace file that cannot be written (read-only,
// locked, full disk) must leave the run and its verdict exactly as they are.
TEST(RunChecks, UnwritableTraceFileChangesNeitherCourseNorVerdict) {
  const std::string line = "2 up 192.0.2.7 nowhere";
  const auto run = [&](bool traceFile, bool appendsFail) {
    Harness h;
    if (traceFile) h.platform.CreateTraceFile();
    h.platform.SetAppendsFail(appendsFail);
    h.control.Resolve("up", "192.0.2.1");
    h.control.ReplyAfter("192.0.2.1", 5, 1);
    h.control.ReplyAfter("192.0.2.7", 300, 1);
    const int status = h.RunProgram(line);
    // An up or down verdict says nothing; the lost trace is reported once.
    EXPECT_EQ(
        h.platform.Problems(),
        appendsFail
            ? Messages{"the trace file /opt/korvane/pingdebug.txt cannot be written: its lines are lost"}
            : Messages{});
    return std::make_pair(status, h.control.CallsExceptTargetReads());
  };
  const auto plain = run(false, false);
  EXPECT_EQ(plain.first, 100);
  EXPECT_EQ(run(true, true), plain);
  EXPECT_EQ(run(true, false), plain);
}

// KORVANE_TRACE names the trace file instead, under the same rules; empty
// means unset. A file it names that cannot be written switches the trace on,
// loses its lines, and is a wrong set-up.
TEST(RunChecks, TraceVariableNamesTheTraceFile) {
  for (const auto& [variable, readOnly, problems] : std::vector<std::tuple<std::string, bool, Messages>>{
           {"/var/tmp/k.txt", false, {}},
           {"/var/tmp/k.txt",
            true,
            {"KORVANE_TRACE names /var/tmp/k.txt, which cannot be written (Permission denied): its lines are "
             "lost"}},
           {"", false, {}}}) {
    TracedHarness h;  // pingdebug.txt beside the executable exists too
    h.platform.SetEnvironmentVariable("KORVANE_TRACE", variable);
    h.platform.CreateFile("/var/tmp/k.txt");
    if (readOnly) h.platform.MakeReadOnly("/var/tmp/k.txt");
    EXPECT_EQ(h.RunProgram("1 192.0.2.7"), 0);
    EXPECT_EQ(h.run.DebugOn, kTrue);
    EXPECT_EQ(h.platform.FileText("/var/tmp/k.txt").empty(), variable.empty() || readOnly) << variable;
    EXPECT_EQ(h.platform.TraceMessages().size(), variable.empty() ? 6u : 0u) << variable;
    EXPECT_EQ(h.platform.Problems(), problems) << variable;
    EXPECT_EQ(h.platform.HadSetupProblem(), !problems.empty()) << variable;
  }
}

// Beside the executable, a directory or another file that is not a regular
// one switches nothing on, and says nothing: that name is not the
// administrator's choice.
TEST(RunChecks, TraceFileThatIsNotARegularFileLeavesTheTraceOff) {
  Harness h;
  h.platform.PlaceNonRegular(h.platform.TracePath(), "a directory");
  h.control.ReplyAfter("192.0.2.7", 5, 1);
  EXPECT_EQ(h.RunProgram("1 192.0.2.7"), 100);
  EXPECT_EQ(h.run.DebugOn, kFalse);
  EXPECT_EQ(h.platform.SleptMs(), 200);
  EXPECT_TRUE(h.platform.Problems().empty());
}

// KORVANE_SETUP_STATUS: plain digits for 1 to 255, any number of leading
// zeros, never a verdict's status; anything else is refused and named.
TEST(SetupStatus, ValuesAndRefusals) {
  const std::string range = ", not a number from 1 to 255: it is ignored";
  const std::vector<std::tuple<std::string, std::optional<int>, std::string>> rows = {
      {"", std::nullopt, ""},
      {"1", 1, ""},
      {"99", 99, ""},
      {"101", 101, ""},
      {"255", 255, ""},
      {"007", 7, ""},
      {"0007", 7, ""},
      {"00000000000000000000255", 255, ""},
      {"100", std::nullopt, "KORVANE_SETUP_STATUS is 100, the status of \"up\": it is ignored"},
      {"0100", std::nullopt, "KORVANE_SETUP_STATUS is 0100, the status of \"up\": it is ignored"},
      {"0", std::nullopt, "KORVANE_SETUP_STATUS is 0" + range},
      {"000", std::nullopt, "KORVANE_SETUP_STATUS is 000" + range},
      {"256", std::nullopt, "KORVANE_SETUP_STATUS is 256" + range},
      {"2550", std::nullopt, "KORVANE_SETUP_STATUS is 2550" + range},
      {"99999999999999999999", std::nullopt, "KORVANE_SETUP_STATUS is 99999999999999999999" + range},
      {"-7", std::nullopt, "KORVANE_SETUP_STATUS is -7" + range},
      {" 7", std::nullopt, "KORVANE_SETUP_STATUS is  7" + range},
      {"7x", std::nullopt, "KORVANE_SETUP_STATUS is 7x" + range},
  };
  for (const auto& [value, status, refusal] : rows) {
    const SetupStatusReading reading = ReadSetupStatus(value);
    EXPECT_EQ(reading.status, status) << value;
    EXPECT_EQ(reading.refusal, refusal) << value;
  }
  // Only a verdict of a run with a wrong set-up takes the set-up status.
  for (const auto& [exitStatus, wrongSetUp, setupStatus, final] :
       std::vector<std::tuple<int, bool, std::optional<int>, int>>{{0, true, 7, 7},
                                                                   {100, true, 7, 7},
                                                                   {0, false, 7, 0},
                                                                   {100, true, std::nullopt, 100},
                                                                   {1, true, 7, 1},
                                                                   {99, true, 7, 99}}) {
    EXPECT_EQ(RunExitStatus(exitStatus, wrongSetUp, setupStatus), final)
        << exitStatus << " " << wrongSetUp << " " << setupStatus.value_or(-1);
  }
}

// KORVANE_SETUP_STATUS replaces the verdict of a run with a wrong set-up, and
// only of such a run, whichever way it ends; a refused value is named and
// changes nothing. Lost trace lines are no wrong set-up.
TEST(RunChecks, SetupStatusEndsARunWithAWrongSetUp) {
  struct Case {
    std::string value;
    std::string commandLine;
    bool readOnlyTrace;
    int exitStatus;
    bool valueNamed;
  };
  for (const Case& c : {Case{"7", "x up", false, 7, false},  // argument error, trace off: the no-host rule
                        Case{"7", "0 down", false, 7, false}, Case{"7", "1 up \"\" down", false, 7, false},
                        Case{"7", "1 up", true, 100, false}, Case{"", "", false, 0, false},
                        Case{"7", "1 up misspelt", false, 7, false},  // a misspelt name among answering hosts
                        Case{"7", "1 up fe80::1", false, 7, false},   // a link-local address without its zone
                        Case{"100", "x up", false, 0, true}, Case{"256", "1 up", false, 100, true}}) {
    Harness h;
    h.platform.SetEnvironmentVariable("KORVANE_SETUP_STATUS", c.value);
    if (c.readOnlyTrace) h.platform.CreateTraceFile();
    if (c.readOnlyTrace) h.platform.MakeReadOnly(h.platform.TracePath());
    h.control.Resolve("up", "192.0.2.1");
    h.control.Resolve("down", "192.0.2.2");
    h.control.NoSuchName("misspelt");
    h.control.ZoneNeeded("fe80::1", "a link-local address needs a zone (fe80::1%eth0)");
    h.control.ReplyAfter("192.0.2.1", 5, 1);
    EXPECT_EQ(h.RunProgram(c.commandLine), c.exitStatus) << c.value << " " << c.commandLine;
    const Messages problems = h.platform.Problems();
    EXPECT_EQ(!problems.empty() && problems.back() == ReadSetupStatus(c.value).refusal, c.valueNamed)
        << c.value;
  }
  // A run ended before its checks began, by a problem found then, is judged alike.
  Harness h;
  h.platform.SetEnvironmentVariable("KORVANE_SETUP_STATUS", "9");
  h.platform.ReportProblem("cannot give up privilege (setuid failed): the run ends here");
  int status = -1;
  try {
    h.platform.EndProgram(0);
  } catch (const testing::ProgramEnded& ended) {
    status = ended.exitStatus;
  }
  EXPECT_EQ(status, 9);
}

// A reply that straggles in after its host was given up must not count for
// the next host, which would then be reported up without ever answering.
TEST(RunChecks, LateReplyIsNotCreditedToTheNextHost) {
  // The first host's probe sends at +150 and gives up at +5200; the next
  // host's 100 ms pause ends at +5300 and its 50 ms pause at +5350.
  for (std::int64_t arrival : {5230, 5320}) {
    TracedHarness h;
    const std::int64_t start = h.platform.Now();
    h.control.ReplyAt(start + arrival, "192.0.2.1", 5080);
    EXPECT_EQ(h.RunProgram("1 192.0.2.1 192.0.2.2"), 0) << arrival;
    EXPECT_EQ(h.run.Hosts(2).Replied, 0);
    EXPECT_EQ(
        h.platform.TraceMessages(),
        (Messages{"", " Start", " CommandLine = 1 192.0.2.1 192.0.2.2", " --> Sending Ping to 192.0.2.1",
                  " --- Ping timed out: 192.0.2.1", " --> Sending Ping to 192.0.2.2",
                  " --- Ping timed out: 192.0.2.2", " Return Value: 0"}));
  }
}

TEST(RunChecks, EventsInTheFinalPauseAfterTenHostsAreHarmless) {
  TracedHarness h;
  std::string line = "10";
  for (int i = 1; i <= 10; ++i) {
    const std::string address = "192.0.2." + std::to_string(i);
    line += " " + address;
    h.control.ReplyAfter(address, 5, i);
    h.control.ErrorAfter(address, 120);
  }
  h.control.ReplyAfter("192.0.2.10", 150, 99);
  EXPECT_EQ(h.RunProgram(line), 100);
  EXPECT_EQ(h.run.CurrentHost, 11);
  const Messages trace = h.platform.TraceMessages();
  EXPECT_EQ(trace.back(), " Return Value: 100");
  EXPECT_EQ(h.run.Hosts(10).ReplyTime, 10);
}

TEST(RunChecks, HostsAreProbedInCommandLineOrder) {
  Harness h;
  h.control.Resolve("b", "192.0.2.2");
  EXPECT_EQ(h.RunProgram("0 192.0.2.3 b \"192.0.2.1\""), 100);
  EXPECT_EQ(h.control.CallsExceptTargetReads(),
            (Messages{"SendEcho 192.0.2.3", "SetTarget b", "SendEcho 192.0.2.2", "SendEcho 192.0.2.1"}));
}

}  // namespace
}  // namespace korvane
