// korvane itself, with every pause timed: the same checker, ICMP control and
// platform as the korvane binary, with a platform that measures by how much
// each wait overshoots its end. At exit it prints, to standard error,
// "PAUSES MIN_US MEDIAN_US MAX_US" of those overshoots (negative: cut short).
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/form.h"
#include "linux/linux_icmp_control.h"
#include "linux/posix_platform.h"

namespace {

class TimedPlatform : public korvane::PosixPlatform {
 public:
  using PosixPlatform::PosixPlatform;

  void WaitUntil(std::int64_t untilNs, korvane::EventSource& events) override {
    PosixPlatform::WaitUntil(untilNs, events);
    overshootsNs_.push_back(MonotonicNanoseconds() - untilNs);
  }

 protected:
  void Exit(int exitStatus) override {
    std::sort(overshootsNs_.begin(), overshootsNs_.end());
    if (!overshootsNs_.empty()) {
      std::fprintf(stderr, "%zu %.1f %.1f %.1f\n", overshootsNs_.size(), overshootsNs_.front() / 1e3,
                   overshootsNs_[overshootsNs_.size() / 2] / 1e3, overshootsNs_.back() / 1e3);
    }
    PosixPlatform::Exit(exitStatus);
  }

 private:
  std::vector<std::int64_t> overshootsNs_;
};

}  // namespace

int main(int argc, char** argv) {
  TimedPlatform platform(argc, argv);
  korvane::LinuxIcmpControl control(platform);
  korvane::frmKorvane form(platform, control);
  form.Form_Load();
}
