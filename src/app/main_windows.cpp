// korvane.exe THRESHOLD HOST...: pings the hosts one after another and exits
// with 100 when at least THRESHOLD of them answered, 0 otherwise. A program
// without a window and without a console.
#include <windows.h>

#include "icmp/windows_icmp_control.h"
#include "platform/win32_platform.h"
#include "app/form.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  korvane::WindowsIcmpControl control;
  korvane::Win32Platform platform;
  korvane::frmKorvane form(platform, control);
  form.Form_Load();
}
