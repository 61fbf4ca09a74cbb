// korvane THRESHOLD HOST...: pings the hosts one after another and exits with
// 100 when at least THRESHOLD of them answered, 0 otherwise.
#include "icmp/linux_icmp_control.h"
#include "platform/posix_platform.h"
#include "run/form.h"

int main(int argc, char** argv) {
  korvane::LinuxIcmpControl control;  // opened first: it gives up privilege once it has its socket
  korvane::PosixPlatform platform(argc, argv);
  korvane::frmKorvane form(platform, control);
  form.Form_Load();
}
