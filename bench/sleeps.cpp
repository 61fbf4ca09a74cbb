// The floor under korvane's pauses on this machine: N sleeps of 10 ms to an
// absolute end on the monotonic clock, one after another, and nothing else.
// Prints "N MIN_US MEDIAN_US MAX_US" of their overshoots to standard error.
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {
long long Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}
}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 30;
  prctl(PR_SET_TIMERSLACK, 1UL);
  std::vector<long long> overshoots;
  for (int i = 0; i < count; ++i) {
    const long long end = Now() + 10'000'000;
    const timespec at{static_cast<time_t>(end / 1'000'000'000), static_cast<long>(end % 1'000'000'000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    overshoots.push_back(Now() - end);
  }
  std::sort(overshoots.begin(), overshoots.end());
  if (!overshoots.empty()) {
    std::fprintf(stderr, "%zu %.1f %.1f %.1f\n", overshoots.size(), overshoots.front() / 1e3,
                 overshoots[overshoots.size() / 2] / 1e3, overshoots.back() / 1e3);
  }
}
