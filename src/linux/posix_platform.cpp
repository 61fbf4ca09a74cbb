#include "linux/posix_platform.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/standard_streams.h"
#include "text/text.h"

namespace korvane {
namespace {

std::string ExecutableDirectory(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string path =
      length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string(argv0 ? argv0 : "");
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// How long a standard stream may hold the run: a pipe whose reader stopped
// reading takes nothing more, and from then on a write waits for no room.
constexpr int kStreamWaitMs = 100;

// Writes all of the text, or as much as the descriptor takes: a closed pipe
// (EPIPE), a bad descriptor or a stream that has no room within its wait ends
// the write without a signal, and the rest is lost, as a lost trace line is.
// The descriptor may be shared with other processes, so it is not made
// non-blocking: a write waits for room first, and writes no more than a pipe
// that has room takes without blocking.
void WriteAll(int fd, std::string_view text) {
  // A pipe without a reader would raise SIGPIPE and kill the run; korvane has
  // no writer that wants that signal, so it is ignored for the whole process.
  std::signal(SIGPIPE, SIG_IGN);
  static bool stalled = false;
  while (!text.empty()) {
    pollfd stream{fd, POLLOUT, 0};
    const int ready = poll(&stream, 1, stalled ? 0 : kStreamWaitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) stalled = true;
    if (ready <= 0) return;
    const ssize_t n = write(fd, text.data(), std::min<std::size_t>(text.size(), PIPE_BUF));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// What a file that is not a regular one is, for the administrator who named it.
const char* KindOfFile(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "a device";
}

}  // namespace

void WriteStandardOutput(std::string_view text) { WriteAll(STDOUT_FILENO, text); }

void ReportToStandardError(std::string_view reason) { WriteAll(STDERR_FILENO, ProblemLine(reason)); }

void KeepStandardStreamsOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) close(null);  // taken by a lower number: leave it be
  }
}

std::string JoinArguments(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = ToValidUtf8(argv[i]);
    if (i > 1) text += ' ';
    const bool needsQuotes = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
    text += needsQuotes ? "\"" + argument + "\"" : argument;
  }
  return text;
}

PosixPlatform::PosixPlatform(int argc, char** argv)
    : commandLine_(JoinArguments(argc, argv)),
      executableDirectory_(ExecutableDirectory(argc > 0 ? argv[0] : nullptr)) {
  prctl(PR_SET_TIMERSLACK, 1UL);  // wake when asked, not up to 50 us later
  // A trace file beyond the file-size limit loses its line (EFBIG) rather
  // than end the run with a signal.
  std::signal(SIGXFSZ, SIG_IGN);
  timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
}

PosixPlatform::~PosixPlatform() {
  if (timer_ >= 0) close(timer_);
  if (trace_ >= 0) close(trace_);
}

void PosixPlatform::WaitUntil(std::int64_t untilNs, EventSource& events) {
  std::vector<pollfd> watched{{timer_, POLLIN, 0}};
  for (const std::intptr_t fd : events.WaitObjects()) {
    watched.push_back({static_cast<int>(fd), POLLIN, 0});
  }
  // What is already due (a failed send) is delivered at once; the sockets
  // are read when the poll finds them ready, not before each wait.
  bool flooded = events.DueWithoutWaitObject() && events.DeliverPendingEvents();
  for (;;) {
    const std::int64_t now = MonotonicNanoseconds();
    if (now >= untilNs) return;
    // After a pump that stopped at its limit of work, the next one waits for
    // a slice: a flood then costs a bounded share of the processor.
    const std::int64_t wakeAt = flooded ? std::min(untilNs, now + kFloodBackOffNs) : untilNs;
    // Without a timer descriptor, or when it cannot be armed, the poll's own
    // time-out ends the wait: a wait never outlives its end for want of a timer.
    const bool timerArmed = ArmTimer(wakeAt);
    watched[0].fd = timerArmed ? timer_ : -1;  // a poll passes over a negative descriptor
    const timespec left{static_cast<time_t>((wakeAt - now) / 1'000'000'000),
                        static_cast<long>((wakeAt - now) % 1'000'000'000)};
    const nfds_t count = flooded ? 1 : watched.size();
    if (ppoll(watched.data(), count, timerArmed ? nullptr : &left, nullptr) < 0) continue;  // EINTR
    const bool sourceReady = std::any_of(watched.begin() + 1, watched.begin() + static_cast<long>(count),
                                         [](const pollfd& p) { return p.revents != 0; });
    if (sourceReady || flooded) flooded = events.DeliverPendingEvents();
  }
}

// The wait's end is a timer descriptor, not a poll time-out: the kernel gives a
// poll time-out a slack of 0.1 % of its length (and at least 50 us), a timer
// none, so a pause ends within the wake-up latency of its end. Arming it
// anew also clears an expiry that was not read.
bool PosixPlatform::ArmTimer(std::int64_t atNs) {
  if (timer_ < 0) return false;
  const itimerspec at{{0, 0},
                      {static_cast<time_t>(atNs / 1'000'000'000), static_cast<long>(atNs % 1'000'000'000)}};
  return timerfd_settime(timer_, TFD_TIMER_ABSTIME, &at, nullptr) == 0;
}

LocalDateTime PosixPlatform::LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

std::int64_t PosixPlatform::MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string PosixPlatform::PathBesideExecutable(const std::string& fileName) {
  return executableDirectory_ == "/" ? "/" + fileName : executableDirectory_ + "/" + fileName;
}

// O_NOFOLLOW: a symbolic link planted under the name is not followed to a
// file its planter could not write. No O_CREAT: a file that is missing, or
// was swapped for a link to a missing path, is never created. O_NONBLOCK: a
// FIFO under the name cannot block the run. The one descriptor serves the
// whole run, so the file cannot be swapped between lines either.
TraceFileOpening PosixPlatform::OpenTraceFile(const std::string& path) {
  if (trace_ >= 0) close(trace_);
  trace_ = -1;
  // Looked at before it is opened: opening a device or a FIFO can do
  // something of its own.
  struct stat named {};
  if (lstat(path.c_str(), &named) != 0) {
    const bool absent = errno == ENOENT || errno == ENOTDIR;
    return {TraceFileState::Missing, absent ? "" : std::strerror(errno)};
  }
  if (!S_ISREG(named.st_mode)) return {TraceFileState::NotRegular, KindOfFile(named.st_mode)};
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // Swapped for a link since it was looked at.
    if (errno == ELOOP) return {TraceFileState::NotRegular, "a symbolic link"};
    return {TraceFileState::NotWritable, std::strerror(errno)};
  }
  // Still the file that was looked at, not one swapped in meanwhile.
  struct stat opened {};
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != named.st_dev ||
      opened.st_ino != named.st_ino) {
    close(fd);
    return {TraceFileState::NotRegular, "a file that was replaced while it was opened"};
  }
  trace_ = fd;
  return {TraceFileState::Open, ""};
}

// One write per line, on a descriptor opened with O_APPEND: each line lands
// whole at the end of the file, also beside another writer.
bool PosixPlatform::AppendToTraceFile(std::string_view text) {
  if (trace_ < 0) return false;
  ssize_t written;
  do {
    written = write(trace_, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(text.size());
}

void PosixPlatform::WriteStandardError(std::string_view text) { WriteAll(STDERR_FILENO, text); }

std::string PosixPlatform::EnvironmentVariable(const std::string& name) {
  // Not secure_getenv: a binary with a file capability runs in secure mode, and
  // whatever the variable names is opened only after privilege is given up.
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

namespace {

bool AnyCapability(const __user_cap_data_struct (&sets)[_LINUX_CAPABILITY_U32S_3]) {
  for (const auto& set : sets) {
    if (set.effective != 0 || set.permitted != 0) return true;
  }
  return false;
}

bool ReadCapabilities(__user_cap_data_struct (&sets)[_LINUX_CAPABILITY_U32S_3]) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capget, &header, sets) == 0;
}

}  // namespace

bool PosixPlatform::HoldsGrantedPrivilege() {
  uid_t uid = 0, euid = 0, suid = 0;
  gid_t gid = 0, egid = 0, sgid = 0;
  getresuid(&uid, &euid, &suid);
  getresgid(&gid, &egid, &sgid);
  if (euid != uid || suid != uid || egid != gid || sgid != gid) return true;
  if (uid == 0) return false;
  __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
  return !ReadCapabilities(sets) || AnyCapability(sets);  // unreadable: assume so
}

// A set-user-id or set-group-id program becomes its caller in all three
// identities, real, effective and saved, so that nothing can take the
// privilege back; then it checks that all three were changed.
std::optional<std::string> PosixPlatform::GiveUpPrivilege() {
  // Nothing granted, nothing to give up: the ids and capabilities are not
  // touched, so a run whose system calls for that are filtered still works.
  if (!HoldsGrantedPrivilege()) {
    return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0
               ? std::nullopt
               : std::optional<std::string>("making the process non-dumpable");
  }
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (setresgid(gid, gid, gid) != 0) return "setresgid";
  if (setresuid(uid, uid, uid) != 0) return "setresuid";
  uid_t ruid = 0, euid = 0, suid = 0;
  gid_t rgid = 0, egid = 0, sgid = 0;
  if (getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0 || ruid != uid ||
      euid != uid || suid != uid || rgid != gid || egid != gid || sgid != gid) {
    return "checking the user and group ids";
  }
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return "making the process non-dumpable";
  if (uid == 0) return std::nullopt;  // set-uid root run by root: root it stays
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, none) != 0) return "capset";
  __user_cap_data_struct left[_LINUX_CAPABILITY_U32S_3] = {};
  if (!ReadCapabilities(left) || AnyCapability(left)) return "checking the capabilities";
  return std::nullopt;
}

void PosixPlatform::Exit(int exitStatus) { std::_Exit(exitStatus); }

}  // namespace korvane
