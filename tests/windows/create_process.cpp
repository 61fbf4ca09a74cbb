// Starts a program the way cmd.exe starts one it has found on disk: its path
// as the application name and the command line exactly as typed, through
// CreateProcessW. Waits for it and ends with its exit status (2: wrong use,
// 3: it could not be started).
//   create_process.exe APPLICATION_PATH COMMAND_LINE
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  std::wstring commandLine = argv[2];  // CreateProcessW may write to it
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(argv[1], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return 3;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 3;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
