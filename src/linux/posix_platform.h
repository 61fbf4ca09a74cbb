#pragma once
#include "platform/platform.h"

namespace korvane {

// The checker's platform services on Linux and other POSIX systems.
class PosixPlatform : public Platform {
 public:
  PosixPlatform(int argc, char** argv);
  ~PosixPlatform() override;
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  void WaitUntil(std::int64_t untilNs, EventSource& events) override;
  LocalDateTime LocalNow() override;
  std::int64_t MonotonicNanoseconds() override;
  std::string CommandLineText() override { return commandLine_; }
  std::string PathBesideExecutable(const std::string& fileName) override;
  TraceFileOpening OpenTraceFile(const std::string& path) override;
  bool AppendToTraceFile(std::string_view text) override;
  void WriteStandardError(std::string_view text) override;
  std::string EnvironmentVariable(const std::string& name) override;
  bool HoldsGrantedPrivilege() override;
  std::optional<std::string> GiveUpPrivilege() override;

 protected:
  void Exit(int exitStatus) override;

 private:
  bool ArmTimer(std::int64_t atNs);

  int timer_ = -1;  // marks the end of the current wait
  int trace_ = -1;  // the trace file, open for the whole run
  std::string commandLine_;
  std::string executableDirectory_;
};

// Joins the arguments after the program's name with single blanks; an
// argument that is empty or holds a blank or tab is wrapped in double quotes.
std::string JoinArguments(int argc, char** argv);

// Opens /dev/null on standard input, output or error where the caller left
// them closed, so that neither a socket nor a file opened later takes their
// numbers and receives what is meant for a stream.
void KeepStandardStreamsOpen();

}  // namespace korvane
