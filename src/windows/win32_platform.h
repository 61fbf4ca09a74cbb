#pragma once
#include "platform/platform.h"

namespace korvane {

// The checker's platform services on Windows.
class Win32Platform : public Platform {
 public:
  Win32Platform();
  ~Win32Platform() override;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

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
  std::int64_t counterFrequency_ = 1;
  void* trace_ = nullptr;  // the trace file's handle, open for the whole run
  std::string commandLine_;
  std::string executableDirectory_;
};

// The process's command line without the program's name, as one UTF-8 text.
std::string WindowsArgumentText();

}  // namespace korvane
