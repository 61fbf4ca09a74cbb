// korvane THRESHOLD HOST...: pings the hosts one after another and exits with
// 100 when at least THRESHOLD of them answered, 0 otherwise.
#include "app/form.h"
#include "app/information.h"
#include "linux/linux_icmp_control.h"
#include "linux/posix_platform.h"
#include "platform/standard_streams.h"

// The version is written into the binary too, for `strings` and for whoever
// has to tell two builds apart.
[[gnu::used]] static constexpr char kVersionTag[] = "korvane version " KORVANE_VERSION;

int main(int argc, char** argv) {
  korvane::KeepStandardStreamsOpen();
  // --help and --version are answered before any socket is opened.
  if (const auto text = korvane::InformationText(korvane::JoinArguments(argc, argv), KORVANE_VERSION)) {
    korvane::WriteStandardOutput(*text);
    return 0;
  }
  korvane::PosixPlatform platform(argc, argv);
  // Before anything else is opened: it gives up privilege once it has what needs it.
  korvane::LinuxIcmpControl control(platform);
  korvane::frmKorvane form(platform, control);
  form.Form_Load();
}
