// The cost floor of a run's pauses: N back-to-back 10 ms sleeps and nothing else.
#include <time.h>

#include <cstdlib>

int main(int argc, char** argv) {
  const int slices = argc > 1 ? std::atoi(argv[1]) : 200;
  const timespec slice{0, 10'000'000};
  for (int i = 0; i < slices; ++i) nanosleep(&slice, nullptr);
  return 0;
}
