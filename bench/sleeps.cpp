// The floor under korvane's CPU time and pauses on this machine: a program
// that only starts and sleeps. "bench_sleeps REPEAT MS..." sleeps the listed
// milliseconds in turn, each to an absolute end on the monotonic clock as
// korvane's pauses do, REPEAT times over; "bench_sleeps 10 100 50 50" is the
// schedule of a run on ten hosts that answer at once. Prints "N MIN_US
// MEDIAN_US MAX_US" of the overshoots to standard error. Plain C calls only,
// so that it loads nothing but the C library, as the least a program can.
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <time.h>

namespace {

long long Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

int Compare(const void* a, const void* b) {
  const long long x = *static_cast<const long long*>(a), y = *static_cast<const long long*>(b);
  return x < y ? -1 : x > y;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeat = argc > 1 ? atoi(argv[1]) : 30;
  const int steps = argc > 2 ? argc - 2 : 1;
  constexpr int kMaxSleeps = 4096;
  static long long overshoots[kMaxSleeps];
  prctl(PR_SET_TIMERSLACK, 1UL);
  int count = 0;
  for (int r = 0; r < repeat; ++r) {
    for (int s = 0; s < steps; ++s) {
      const long long ms = argc > 2 ? atoll(argv[2 + s]) : 10;
      const long long end = Now() + ms * 1'000'000;
      const timespec at{static_cast<time_t>(end / 1'000'000'000), static_cast<long>(end % 1'000'000'000)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
      if (count < kMaxSleeps) overshoots[count++] = Now() - end;
    }
  }
  qsort(overshoots, static_cast<size_t>(count), sizeof overshoots[0], Compare);
  if (count > 0) {
    fprintf(stderr, "%d %.1f %.1f %.1f\n", count, overshoots[0] / 1e3, overshoots[count / 2] / 1e3,
            overshoots[count - 1] / 1e3);
  }
}
