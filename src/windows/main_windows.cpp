// korvane.exe THRESHOLD HOST...: pings the hosts one after another and exits
// with 100 when at least THRESHOLD of them answered, 0 otherwise. A program
// without a window and without a console.
#include <windows.h>

#include "app/form.h"
#include "app/information.h"
#include "platform/standard_streams.h"
#include "windows/win32_platform.h"
#include "windows/windows_icmp_control.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // --help and --version are answered before the ICMP handle is made.
  if (const auto text = korvane::InformationText(korvane::WindowsArgumentText(), KORVANE_VERSION)) {
    korvane::WriteStandardOutput(*text);
    return 0;
  }
  korvane::Win32Platform platform;
  korvane::WindowsIcmpControl control(platform);
  korvane::frmKorvane form(platform, control);
  form.Form_Load();
}
