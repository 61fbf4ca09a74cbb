// Runs a command and prints its wall time, CPU time (user + system), peak
// resident memory, voluntary context switches and exit status:
// "WALL_US CPU_US MAXRSS_KIB NVCSW STATUS".
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_measure COMMAND [ARG...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    // The measured command's own output is not wanted.
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    dup2(devNull, 2);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const auto wall = std::chrono::steady_clock::now() - start;
  const long long cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
                        usage.ru_stime.tv_usec;
  std::printf("%lld %lld %ld %ld %d\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(wall).count()),
              cpu, usage.ru_maxrss, usage.ru_nvcsw, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}
