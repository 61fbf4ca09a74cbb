// The host probe and the reply and error events, one host at a time.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/pause.h"
#include "probe/check_ping_status.h"
#include "support/harness.h"

namespace korvane {
namespace {

using testing::Harness;
using Messages = std::vector<std::string>;

// A run state with one host under check, and the trace on unless told otherwise.
struct ProbeHarness : Harness {
  explicit ProbeHarness(const std::string& host, bool traceOn = true) {
    if (traceOn) {
      platform.CreateTraceFile();
      run.DebugOn = kTrue;
    }
    run.TraceFilePath = platform.TracePath();
    platform.OpenTraceFile(run.TraceFilePath);
    run.Hosts(1).Address = host;
    run.HostCount = 1;
    run.CurrentHost = 1;
  }
  void Probe() { CheckPingStatus(run); }
  HostEntry& host() { return run.Hosts(1); }
  std::int64_t WaitAfterSend() const { return platform.Now() - control.EchoTimes().at(0); }
};

TEST(CheckPingStatus, LiteralAddressIsPingedWithoutResolving) {
  ProbeHarness h("192.0.2.7");
  h.control.ReplyAfter("192.0.2.7", 20, 23);
  h.Probe();
  EXPECT_EQ(h.platform.TraceMessages(),
            (Messages{" --> Sending Ping to 192.0.2.7", " <-- Ping Response from 192.0.2.7 (23 ms)"}));
  EXPECT_EQ(h.control.CallsExceptTargetReads(), (Messages{"SendEcho 192.0.2.7"}));
  EXPECT_EQ(h.host().Replied, 1);
  EXPECT_EQ(h.host().ReplyTime, 23);
  EXPECT_EQ(h.platform.SleptMs(), 100);  // the pause before sending, then one poll
}

TEST(CheckPingStatus, NameIsResolvedAndReplacedByItsAddress) {
  ProbeHarness h("gateway.example");
  h.control.Resolve("gateway.example", "192.0.2.9");
  h.control.ReplyAfter("192.0.2.9", 120, 4);
  h.Probe();
  EXPECT_EQ(h.platform.TraceMessages(),
            (Messages{" --> DNS resolving on gateway.example", " <-- DNS resolved to 192.0.2.9",
                      " --> Sending Ping to 192.0.2.9", " <-- Ping Response from 192.0.2.9 (4 ms)"}));
  EXPECT_EQ(h.control.CallsExceptTargetReads(),
            (Messages{"SetTarget gateway.example", "SendEcho 192.0.2.9"}));
  EXPECT_EQ(h.host().Address, "192.0.2.9");
  EXPECT_EQ(h.host().Replied, 1);
}

// A name that does not resolve is traced alike whatever the reason; only a
// name the name service says does not exist, or an address that needs a zone,
// is named, as a wrong set-up.
TEST(CheckPingStatus, UnresolvableNameIsNeitherPingedNorWaitedFor) {
  enum class Failure { Silent, NoSuchName, ZoneNeeded };
  for (const auto& [text, failure, problems] : std::vector<std::tuple<std::string, Failure, Messages>>{
           {"routr1.lab", Failure::Silent, {}},
           {"routr1.lab", Failure::NoSuchName, {"host 2, routr1.lab: no such name"}},
           {"fe80::1",
            Failure::ZoneNeeded,
            {"host 2, fe80::1: a link-local address needs a zone (fe80::1%eth0)"}},
       }) {
    ProbeHarness h(text);
    h.run.CurrentHost = 2;
    h.run.Hosts(2).Address = text;
    if (failure == Failure::NoSuchName) h.control.NoSuchName(text);
    if (failure == Failure::ZoneNeeded)
      h.control.ZoneNeeded(text, "a link-local address needs a zone (fe80::1%eth0)");
    h.Probe();
    EXPECT_EQ(h.platform.TraceMessages(),
              (Messages{" --> DNS resolving on " + text, " --- DNS resolving timed out: " + text}));
    EXPECT_EQ(h.control.CallsExceptTargetReads(), (Messages{"SetTarget " + text}));
    EXPECT_EQ(h.platform.SleptMs(), 0);
    EXPECT_EQ(h.run.Hosts(2).Replied, 0);
    EXPECT_EQ(h.platform.Problems(), problems) << text;
  }
}

// The wait ends 5.05 s after the request: a reply at 5.08 s is too late. Its
// end is fixed at the send: pauses that each end 5 ms late neither bring it
// forward, so a reply at 5.03 s still counts, nor push it back past 5.05 s.
TEST(CheckPingStatus, SilentHostTimesOutJustAfterFiveSeconds) {
  for (const auto& [replyMs, replied] : {std::pair{5030, 1}, std::pair{5052, 0}, std::pair{5100, 0}}) {
    ProbeHarness h("192.0.2.7");
    h.platform.SetWaitOverrunMs(5);
    h.control.ReplyAfter("192.0.2.7", replyMs, replyMs);
    h.Probe();
    EXPECT_EQ(h.host().Replied, replied) << "reply after " << replyMs << " ms";
    EXPECT_GE(h.WaitAfterSend(), replied ? 5030 : 5050);
  }
  for (bool traceOn : {true, false}) {
    ProbeHarness h("192.0.2.7", traceOn);
    h.control.ReplyAfter("192.0.2.7", 5080, 5080);
    h.Probe();
    EXPECT_EQ(h.WaitAfterSend(), 5050);
    EXPECT_EQ(h.host().Replied, 0);
    if (traceOn) {
      EXPECT_EQ(h.platform.TraceMessages(),
                (Messages{" --> Sending Ping to 192.0.2.7", " --- Ping timed out: 192.0.2.7"}));
    } else {
      EXPECT_FALSE(h.platform.FileExists(h.platform.TracePath()));
    }
  }
}

TEST(CheckPingStatus, WaitEndsAtTheFirstTestAfterTheReply) {
  struct Case {
    std::int64_t replyDelay;
    std::int64_t expectedWait;
  };
  for (const Case& c : {Case{0, 50}, Case{49, 50}, Case{51, 100}, Case{4900, 4900}, Case{4990, 5000}}) {
    ProbeHarness h("192.0.2.7");
    h.control.ReplyAfter("192.0.2.7", c.replyDelay, 1);
    h.Probe();
    EXPECT_EQ(h.WaitAfterSend(), c.expectedWait) << "reply after " << c.replyDelay;
    EXPECT_EQ(h.host().Replied, 1);
  }
}

TEST(CheckPingStatus, RepliesFromAnyOtherAddressAreIgnoredSilently) {
  for (const std::string source : {"192.0.2.70", "192.0.2.", "192.0.2.7 ", " 192.0.2.7", "192.000.2.7"}) {
    ProbeHarness h("192.0.2.7");
    h.control.ReplyAfter("192.0.2.7", 10, 5, source);
    h.Probe();
    EXPECT_EQ(h.host().Replied, 0) << source;
    EXPECT_EQ(h.platform.TraceMessages().back(), " --- Ping timed out: 192.0.2.7");
  }
}

TEST(CheckPingStatus, NameComparisonIsCaseSensitive) {
  ProbeHarness h("MixedCase");  // resolves to a name-like target, as a control may report
  h.control.Resolve("MixedCase", "Gateway");
  h.control.ReplyAfter("Gateway", 10, 5, "gateway");
  h.Probe();
  EXPECT_EQ(h.host().Replied, 0);
}

TEST(CheckPingStatus, DuplicateReplyOverwritesTheTime) {
  ProbeHarness h("192.0.2.7");
  h.control.ReplyAfter("192.0.2.7", 10, 11);
  h.control.ReplyAfter("192.0.2.7", 30, 33);
  h.Probe();
  EXPECT_EQ(h.host().Replied, 1);
  EXPECT_EQ(h.host().ReplyTime, 33);
  EXPECT_EQ(h.platform.TraceMessages().size(), 3u);
}

TEST(CheckPingStatus, AlreadyAnsweredHostIsNotWaitedFor) {
  ProbeHarness h("192.0.2.7");
  h.host().Replied = 1;
  h.Probe();
  EXPECT_EQ(h.WaitAfterSend(), 0);
  EXPECT_EQ(h.platform.TraceMessages(), (Messages{" --> Sending Ping to 192.0.2.7"}));
}

TEST(CheckPingStatus, ErrorEventIsTracedAndTheWaitGoesOn) {
  ProbeHarness h("192.0.2.7");
  h.control.ErrorAfter("192.0.2.7", 10);
  h.Probe();
  EXPECT_EQ(h.platform.TraceMessages(), (Messages{" --> Sending Ping to 192.0.2.7",
                                                  " Error When Ping 192.0.2.7 (frmKorvane_pingClient_Error)",
                                                  " --- Ping timed out: 192.0.2.7"}));
  EXPECT_GT(h.WaitAfterSend(), 5000);
}

TEST(CheckPingStatus, ErrorEventWithTraceOffChangesNothing) {
  ProbeHarness h("192.0.2.7", false);
  h.control.ErrorAfter("192.0.2.7", 10);
  h.control.ReplyAfter("192.0.2.7", 700, 9);
  h.Probe();
  EXPECT_EQ(h.host().Replied, 1);
  EXPECT_EQ(h.host().ReplyTime, 9);
  EXPECT_FALSE(h.platform.FileExists(h.platform.TracePath()));
}

TEST(CheckPingStatus, FailedSendStillWaitsForTheDeadline) {
  ProbeHarness h("192.0.2.7");
  h.control.SetSendEchoFails(true);
  h.Probe();
  EXPECT_GT(h.WaitAfterSend(), 5000);
  EXPECT_EQ(h.platform.TraceMessages().back(), " --- Ping timed out: 192.0.2.7");
}

TEST(CheckPingStatus, FailedTargetReadKeepsTheNameAndPingsIt) {
  ProbeHarness h("gateway.example");
  h.control.Resolve("gateway.example", "192.0.2.9");
  h.control.SetTargetReadFails(true);
  h.Probe();
  EXPECT_EQ(h.host().Address, "gateway.example");
  EXPECT_EQ(h.platform.TraceMessages().at(1), " <-- DNS resolved to gateway.example");
  EXPECT_EQ(h.control.CallsExceptTargetReads().back(), "SendEcho gateway.example");
}

// A failing address check leaves what it had found: a text not yet rejected
// is pinged as it is; one already rejected (999) is resolved, and the check's
// failure is not taken for a failed lookup.
TEST(CheckPingStatus, FailingAddressCheckLeavesWhatItHadFound) {
  const std::string huge = "1.2.3." + std::string(400, '9');
  ProbeHarness h(huge);
  h.Probe();
  EXPECT_EQ(h.control.CallsExceptTargetReads(), (Messages{"SendEcho " + huge}));
  const std::string rejected = "1.2.999." + std::string(400, '9');
  ProbeHarness r(rejected);
  r.control.Resolve(rejected, "192.0.2.9");
  r.Probe();
  EXPECT_EQ(r.control.CallsExceptTargetReads(), (Messages{"SetTarget " + rejected, "SendEcho 192.0.2.9"}));
}

// A trace file that cannot be written must not turn a resolvable name into a
// failed resolution, nor change anything else the probe does.
TEST(CheckPingStatus, UnwritableTraceChangesNothing) {
  ProbeHarness h("gateway.example");
  h.platform.SetAppendsFail(true);
  h.control.Resolve("gateway.example", "192.0.2.9");
  h.control.ReplyAfter("192.0.2.9", 10, 3);
  h.Probe();
  EXPECT_EQ(h.control.CallsExceptTargetReads(),
            (Messages{"SetTarget gateway.example", "SendEcho 192.0.2.9"}));
  EXPECT_EQ(h.host().Replied, 1);
}

// The deadline is measured on the monotonic clock: moving the wall clock
// during the wait neither stretches nor cuts it.
TEST(CheckPingStatus, WallClockChangesDoNotMoveTheDeadline) {
  for (auto shift : {std::chrono::hours{-1}, std::chrono::hours{1}}) {
    ProbeHarness h("192.0.2.7");
    bool shifted = false;
    h.platform.OnSleep([&](std::int64_t) {
      if (!shifted && !h.control.EchoTimes().empty()) {
        h.platform.ShiftWallClock(shift);
        shifted = true;
      }
    });
    h.Probe();
    EXPECT_TRUE(shifted);
    EXPECT_GT(h.WaitAfterSend(), 5000);
    EXPECT_LE(h.WaitAfterSend(), 6050);
  }
}

TEST(ReplyEvents, NoReplyIsCreditedNorErrorTracedOutsideTheProbesWait) {
  ProbeHarness h("192.0.2.7");
  h.control.SendEcho("192.0.2.7");  // Target now names the host
  h.form.pingClient_Response("192.0.2.7", 5);
  h.form.pingClient_Error();
  EXPECT_EQ(h.host().Replied, 0);
  EXPECT_EQ(h.platform.TraceMessages(), Messages{});
}

TEST(ReplyEvents, HandlerFailuresStayInsideTheHandler) {
  ProbeHarness h("192.0.2.7");
  h.run.CurrentHost = 11;  // as in the final pause after ten hosts
  h.control.ErrorAt(h.platform.Now() + 10);
  h.control.ReplyAt(h.platform.Now() + 10, "", 1);
  h.run.AwaitingReply = true;
  EXPECT_NO_THROW(Pause(h.run, 20));
  EXPECT_EQ(h.platform.TraceMessages(), Messages{});
}

}  // namespace
}  // namespace korvane
