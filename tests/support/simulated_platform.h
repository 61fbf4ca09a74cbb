#pragma once
// A platform in virtual time: sleeping advances the clocks and nothing else,
// files live in memory, and ending the program throws ProgramEnded.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace korvane::testing {

struct ProgramEnded {
  int exitStatus;
};

class SimulatedPlatform : public Platform {
 public:
  SimulatedPlatform();

  // Advances virtual time to the end, stopping at each time the scripted
  // control has an event due to deliver it.
  void WaitUntil(std::int64_t untilNs, EventSource& events) override;
  LocalDateTime LocalNow() override;
  std::int64_t MonotonicNanoseconds() override { return monotonicMs_ * 1'000'000; }
  std::int64_t Now() const { return monotonicMs_; }
  std::string CommandLineText() override { return commandLine_; }
  std::string PathBesideExecutable(const std::string& fileName) override;
  TraceFileOpening OpenTraceFile(const std::string& path) override;
  bool AppendToTraceFile(std::string_view text) override;
  void WriteStandardError(std::string_view text) override { standardError_ += text; }
  std::string EnvironmentVariable(const std::string& name) override { return environment_[name]; }
  bool HoldsGrantedPrivilege() override { return grantedPrivilege_; }
  std::optional<std::string> GiveUpPrivilege() override { return privilegeFailure_; }

  // Set-up.
  void SetEnvironmentVariable(const std::string& name, std::string value) {
    environment_[name] = std::move(value);
  }
  void CreateFile(const std::string& path) { files_[path] = std::make_shared<std::string>(); }
  void SetCommandLine(std::string text) { commandLine_ = std::move(text); }
  void SetLocalTime(int year, int month, int day, int hour, int minute, int second);
  // Moves the wall clock only, as an administrator or a daylight-saving change would.
  void ShiftWallClock(std::chrono::milliseconds by) { wallClock_ += by; }
  void CreateTraceFile() { CreateFile(TracePath()); }
  // Something that is not a regular file under the name: "a directory", "a symbolic link"...
  void PlaceNonRegular(const std::string& path, std::string what) { nonRegular_[path] = std::move(what); }
  void MakeReadOnly(const std::string& path) { readOnly_.insert(path); }
  void SetAppendsFail(bool fail) { appendsFail_ = fail; }
  void SetGrantedPrivilege(bool held) { grantedPrivilege_ = held; }
  // Every wait returns this much after its end, as a busy system's may.
  void SetWaitOverrunMs(std::int64_t ms) { overrunMs_ = ms; }
  // What giving up privilege reports as failed; nothing: it succeeds.
  void SetPrivilegeFailure(std::optional<std::string> what) { privilegeFailure_ = std::move(what); }
  // Called whenever virtual time has moved on, with the monotonic time, for scripted actions.
  void OnSleep(std::function<void(std::int64_t)> action) { onSleep_ = std::move(action); }
  // Tells the wait when the next scripted event is due (monotonic ms).
  void SetNextEventDue(std::function<std::optional<std::int64_t>()> due) { nextDue_ = std::move(due); }

  // Observations.
  std::string TracePath() const { return "/opt/korvane/pingdebug.txt"; }
  bool FileExists(const std::string& path) const { return files_.count(path) != 0; }
  std::string FileText(const std::string& path) const;
  void RemoveFile(const std::string& path) { files_.erase(path); }
  // Trace lines without their CR LF.
  std::vector<std::string> TraceLines() const;
  // Trace lines with the 19-character time stamp taken off (an empty line stays empty).
  std::vector<std::string> TraceMessages() const;
  // Everything written to standard error.
  const std::string& StandardError() const { return standardError_; }
  // The reasons reported on standard error ("korvane: " lines, without it), in order.
  std::vector<std::string> Problems() const;
  std::int64_t SleptMs() const { return sleptMs_; }
  int Waits() const { return waits_; }
  // Times a wait woke before its end to deliver a due event.
  int EarlyWakes() const { return earlyWakes_; }

 protected:
  void Exit(int exitStatus) override { throw ProgramEnded{exitStatus}; }

 private:
  std::string commandLine_;
  std::chrono::sys_time<std::chrono::milliseconds> wallClock_;
  std::int64_t monotonicMs_ = 1'000'000;
  std::int64_t sleptMs_ = 0;
  int waits_ = 0;
  int earlyWakes_ = 0;
  std::function<std::optional<std::int64_t>()> nextDue_;
  // A file's content is shared with the one opened for the trace, as a file
  // with its descriptor: removing or replacing the name leaves that one alone.
  std::map<std::string, std::shared_ptr<std::string>> files_;
  std::map<std::string, std::string> nonRegular_;
  std::set<std::string> readOnly_;
  std::shared_ptr<std::string> openTrace_;
  bool appendsFail_ = false;
  std::map<std::string, std::string> environment_;
  std::string standardError_;
  bool grantedPrivilege_ = false;
  std::int64_t overrunMs_ = 0;
  std::optional<std::string> privilegeFailure_;
  std::function<void(std::int64_t)> onSleep_;
};

}  // namespace korvane::testing
