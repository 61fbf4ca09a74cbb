#pragma once
// The seam between the checker and its operating system. Everything the logic
// needs from the outside world (waiting, time, its command line, files, ending)
// comes through this interface, so the logic can run against a simulated
// platform in virtual time.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

struct LocalDateTime {
  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// After a pump that stopped at its limit of work (a flood), the next one comes
// this much later at the earliest: a flood then costs a bounded share of the
// processor, on every system.
inline constexpr std::int64_t kFloodBackOffNs = 10'000'000;

// What opening the trace file found.
enum class TraceFileState {
  Open,         // an existing regular file, open for appending
  Missing,      // nothing of that name, or nothing that can be looked up
  NotRegular,   // something else: a symbolic link, a directory, a device...
  NotWritable,  // a regular file that cannot be opened for appending
};

struct TraceFileOpening {
  TraceFileState state = TraceFileState::Missing;
  // What the thing is when it is not a regular file ("a directory"); the
  // system's reason when it cannot be written, or looked up.
  std::string detail;
};

// Something that has events to deliver while the checker waits: the ping control.
class EventSource {
 public:
  virtual ~EventSource() = default;
  // What becomes ready when the source has something to deliver: file
  // descriptors on POSIX, event handles on Windows.
  virtual std::vector<std::intptr_t> WaitObjects() const = 0;
  // Raises the events that are due now. Returns true when it stopped at its
  // limit of work for one call with more still waiting (a flood).
  virtual bool DeliverPendingEvents() = 0;
  // Whether something is due that no wait object will signal (a send that
  // failed). Only then does a wait pump before it first sleeps: whatever a
  // wait object holds already wakes that sleep at once.
  virtual bool DueWithoutWaitObject() const { return true; }
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Waits until the monotonic clock reaches untilNs. It wakes early only when
  // the operating system has messages for this thread or the event source has
  // something to deliver, delivers that, and waits on: it returns at untilNs,
  // never earlier, and what it delivers does not stretch it. This is the
  // event pump, and the only place where the source's events run.
  virtual void WaitUntil(std::int64_t untilNs, EventSource& events) = 0;

  virtual LocalDateTime LocalNow() = 0;
  // Nanoseconds on a clock that never jumps, from an arbitrary origin.
  virtual std::int64_t MonotonicNanoseconds() = 0;

  // The command line without the program's own name, as one UTF-8 text.
  virtual std::string CommandLineText() = 0;
  // Full path of a file with the given name in the executable's directory.
  virtual std::string PathBesideExecutable(const std::string& fileName) = 0;

  // Opens the trace file for appending, once, for the rest of the run: only a
  // file that exists already (it is never created), not through a final
  // symbolic link or other reparse point, and kept only when the open file is a
  // regular one (on Windows neither hidden nor a system file).
  virtual TraceFileOpening OpenTraceFile(const std::string& path) = 0;
  // Appends the UTF-8 text, converted to the system's text encoding, to the
  // file that OpenTraceFile opened, in one write. Returns false when it was not
  // written whole, or no file is open.
  virtual bool AppendToTraceFile(std::string_view text) = 0;
  // Writes the text to standard error, where there is one; "\n" ends a line.
  // A failure to write changes nothing.
  virtual void WriteStandardError(std::string_view text) = 0;

  // The value of an environment variable; empty when it is unset.
  virtual std::string EnvironmentVariable(const std::string& name) = 0;

  // True when the process holds privilege beyond its caller's that it was
  // granted to open ICMP sockets (set-user-id, set-group-id, file
  // capabilities) and gives up once they are open. A run started by root
  // keeps what it has.
  virtual bool HoldsGrantedPrivilege() = 0;
  // Gives that privilege up for good (real, effective and saved identities,
  // capabilities) and makes the process non-dumpable, so that no other
  // process can take its sockets. Returns what failed, or nothing.
  virtual std::optional<std::string> GiveUpPrivilege() = 0;

  // Tells the administrator what is wrong with the set-up: one line
  // "korvane: " + reason on standard error, its control characters escaped.
  // The run counts as one with a wrong set-up from then on.
  void ReportProblem(const std::string& reason);
  // The same line for trace lines that are lost: the trace is diagnostics, so
  // this alone does not make the set-up wrong.
  void ReportLostTrace(const std::string& reason);
  bool HadSetupProblem() const { return setupProblem_; }

  // Ends the program with the exit status; never returns. A run with a wrong
  // set-up that would end with 0 or 100 ends with the status that
  // KORVANE_SETUP_STATUS holds instead, when it holds one (setup_status.h).
  [[noreturn]] void EndProgram(int exitStatus);

 protected:
  // Ends the process (or, on a simulated platform, throws out of the run).
  virtual void Exit(int exitStatus) = 0;

 private:
  int FinalExitStatus(int exitStatus);

  bool setupProblem_ = false;
};

}  // namespace korvane
