// korvane THRESHOLD HOST...: pings the hosts one after another and exits with
// 100 when at least THRESHOLD of them answered, 0 otherwise.
#include "icmp/linux_icmp_control.h"
#include "platform/posix_platform.h"
#include "app/form.h"

// The program prints nothing and takes no options, so its version is written
// into it, for `strings` and for whoever has to tell two builds apart.
[[gnu::used]] static constexpr char kVersionTag[] = "korvane version " KORVANE_VERSION;

int main(int argc, char** argv) {
  korvane::LinuxIcmpControl control;  // opened first: it gives up privilege once it has its socket
  korvane::PosixPlatform platform(argc, argv);
  korvane::frmKorvane form(platform, control);
  form.Form_Load();
}
