#include "platform/posix_platform.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "cmdline/text.h"

namespace korvane {
namespace {

std::string ExecutableDirectory(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string path = length > 0 ? std::string(buffer, static_cast<std::size_t>(length))
                                : std::string(argv0 ? argv0 : "");
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string JoinArguments(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = ToValidUtf8(argv[i]);
    if (i > 1) text += ' ';
    const bool needsQuotes =
        argument.empty() || argument.find_first_of(" \t") != std::string::npos;
    text += needsQuotes ? "\"" + argument + "\"" : argument;
  }
  return text;
}

PosixPlatform::PosixPlatform(int argc, char** argv)
    : commandLine_(JoinArguments(argc, argv)),
      executableDirectory_(ExecutableDirectory(argc > 0 ? argv[0] : nullptr)) {
  prctl(PR_SET_TIMERSLACK, 1UL);  // wake when asked, not up to 50 us later
}

void PosixPlatform::Sleep(int milliseconds) {
  // Back-to-back sleeps keep to a grid of wake-up times, so the few tenths of
  // a millisecond each wake-up comes late do not add up over a run's hundreds
  // of 10 ms slices. After any longer gap (work between sleeps) the grid starts
  // again from now, so no sleep is ever cut short by earlier work.
  const std::int64_t now = MonotonicNanoseconds();
  const std::int64_t lateBy = now - wakeAt_;
  const std::int64_t start = (wakeAt_ != 0 && lateBy >= 0 && lateBy < kGridToleranceNs) ? wakeAt_ : now;
  wakeAt_ = start + static_cast<std::int64_t>(milliseconds) * 1'000'000;
  const timespec until{static_cast<time_t>(wakeAt_ / 1'000'000'000),
                       static_cast<long>(wakeAt_ % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

LocalDateTime PosixPlatform::LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::int64_t PosixPlatform::MonotonicMilliseconds() { return MonotonicNanoseconds() / 1'000'000; }

std::int64_t PosixPlatform::MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string PosixPlatform::PathBesideExecutable(const std::string& fileName) {
  return executableDirectory_ == "/" ? "/" + fileName : executableDirectory_ + "/" + fileName;
}

bool PosixPlatform::IsOrdinaryFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool PosixPlatform::AppendText(const std::string& path, const std::string& text) {
  // O_NONBLOCK keeps a FIFO planted under the trace file's name from blocking the run.
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return false;
  bool written = true;
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      written = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  return close(fd) == 0 && written;
}

void PosixPlatform::Exit(int exitStatus) { std::_Exit(exitStatus); }

}  // namespace korvane
