#include "windows/win32_platform.h"

#include <windows.h>
// after windows.h, whose types it uses
#include <mmsystem.h>

#include <algorithm>
#include <vector>

#include "platform/standard_streams.h"
#include "windows/win32_text.h"
#include "windows/windows_command_line.h"

namespace korvane {
namespace {

// Attributes of a file that never takes the trace: only a normal, read-only or
// archive file does.
constexpr DWORD kNotATraceFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

std::string ExecutableDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return ".";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);  // a long path: try again with room for it
  }
  const std::size_t slash = path.find_last_of(L"\\/");
  return Utf8FromWide(slash == std::wstring::npos ? L"." : path.substr(0, slash));
}

std::string ArgumentText() {
  const wchar_t* line = GetCommandLineW();
  const std::u16string text(reinterpret_cast<const char16_t*>(line),
                            reinterpret_cast<const char16_t*>(line) + wcslen(line));
  const std::u16string arguments = StripProgramName(text);
  return Utf8FromWide(std::wstring(arguments.begin(), arguments.end()));
}

// How long a standard handle may hold the run: a pipe whose reader stopped
// reading takes nothing more, and is given no further line.
constexpr DWORD kStreamWaitMs = 100;

// One write to a standard handle, shared by the run and the thread that does
// it; whichever of the two lets go of it last frees it.
struct StreamWrite {
  HANDLE handle;
  std::string bytes;
  LONG holders = 2;  // the run and the writing thread
};

void LetGo(StreamWrite* write) {
  if (InterlockedDecrement(&write->holders) == 0) delete write;
}

DWORD WINAPI WriteOnItsOwn(void* parameter) {
  auto* write = static_cast<StreamWrite*>(parameter);
  DWORD written = 0;
  WriteFile(write->handle, write->bytes.data(), static_cast<DWORD>(write->bytes.size()), &written, nullptr);
  LetGo(write);
  return 0;
}

// A write to a pipe (or a console) does not return until the reader has taken
// all of it, so it is done on a thread of its own and cancelled when it takes
// too long: the line is lost, as a trace line that cannot be written is.
void WriteWithin(HANDLE handle, std::string bytes) {
  static bool stalled = false;
  if (stalled) return;
  auto* write = new StreamWrite{handle, std::move(bytes)};
  const HANDLE thread = CreateThread(nullptr, 0, WriteOnItsOwn, write, 0, nullptr);
  if (!thread) {
    delete write;
    return;
  }
  if (WaitForSingleObject(thread, kStreamWaitMs) != WAIT_OBJECT_0) {
    stalled = true;
    CancelSynchronousIo(thread);
  }
  CloseHandle(thread);
  LetGo(write);
}

// Writes to a standard handle only when the caller gave one: a GUI program
// started without a redirect has none (NULL), and gets no console either.
// Lines end in CR LF; the text is in the system's ANSI code page, as the
// trace is. A failed write is dropped.
void WriteStandardHandle(DWORD which, std::string_view text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  std::string lines;
  for (const char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  std::string bytes = AnsiFromUtf8(lines);
  if (GetFileType(handle) != FILE_TYPE_DISK) return WriteWithin(handle, std::move(bytes));
  DWORD written = 0;
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void WriteStandardOutput(std::string_view text) { WriteStandardHandle(STD_OUTPUT_HANDLE, text); }

void ReportToStandardError(std::string_view reason) {
  WriteStandardHandle(STD_ERROR_HANDLE, ProblemLine(reason));
}

std::string WindowsArgumentText() { return ArgumentText(); }

Win32Platform::Win32Platform() : commandLine_(ArgumentText()), executableDirectory_(ExecutableDirectory()) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  counterFrequency_ = frequency.QuadPart;
  // 1 ms timer resolution for the run, so a 10 ms sleep is not a 15.6 ms tick.
  timeBeginPeriod(1);
}

Win32Platform::~Win32Platform() {
  if (trace_ != nullptr) CloseHandle(trace_);
  timeEndPeriod(1);
}

void Win32Platform::WaitUntil(std::int64_t untilNs, EventSource& events) {
  // What is already due (a failed send) is delivered at once.
  bool flooded = events.DeliverPendingEvents();
  for (;;) {
    const std::int64_t now = MonotonicNanoseconds();
    if (now >= untilNs) return;
    std::vector<HANDLE> handles;
    if (!flooded) {
      for (const std::intptr_t handle : events.WaitObjects()) {
        if (handles.size() == MAXIMUM_WAIT_OBJECTS - 1) break;  // one place is the message queue's
        handles.push_back(reinterpret_cast<HANDLE>(handle));
      }
    }
    // Whole milliseconds, rounded up: the wait never ends before its time.
    const std::int64_t leftNs = std::min(untilNs - now, flooded ? kFloodBackOffNs : untilNs - now);
    const DWORD leftMs = static_cast<DWORD>((leftNs + 999'999) / 1'000'000);
    const DWORD woke = MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()), handles.data(), leftMs,
                                                   QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0 + handles.size()) PumpMessages();
    if (woke < WAIT_OBJECT_0 + handles.size() || flooded) flooded = events.DeliverPendingEvents();
  }
}

LocalDateTime Win32Platform::LocalNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

// The performance counter: fine-grained, where GetTickCount64 moves in steps
// of the 15.6 ms system tick.
std::int64_t Win32Platform::MonotonicNanoseconds() {
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  const std::int64_t seconds = count.QuadPart / counterFrequency_;
  const std::int64_t rest = count.QuadPart % counterFrequency_;
  return seconds * 1'000'000'000 + rest * 1'000'000'000 / counterFrequency_;
}

std::string Win32Platform::PathBesideExecutable(const std::string& fileName) {
  return executableDirectory_ + "\\" + fileName;
}

// OPEN_EXISTING: a missing file is never created. FILE_FLAG_OPEN_REPARSE_POINT:
// a symbolic link or junction under the name is opened itself, not followed,
// and then fails the check below. FILE_APPEND_DATA without FILE_WRITE_DATA:
// every write goes to the end of the file. The handle serves the whole run;
// others may still read, write, rename or delete the file meanwhile.
TraceFileOpening Win32Platform::OpenTraceFile(const std::string& path) {
  if (trace_ != nullptr) CloseHandle(trace_);
  trace_ = nullptr;
  const std::wstring widePath = WideFromUtf8(path);
  const HANDLE file = CreateFileW(widePath.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD openError = GetLastError();
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD attributes = 0;
  if (file != INVALID_HANDLE_VALUE) {
    const bool known = GetFileInformationByHandle(file, &info) != 0 && GetFileType(file) == FILE_TYPE_DISK;
    attributes = known ? info.dwFileAttributes : FILE_ATTRIBUTE_DEVICE;
    if ((attributes & kNotATraceFile) == 0) {
      trace_ = file;
      return {TraceFileState::Open, ""};
    }
    CloseHandle(file);
  } else {
    // A symbolic link's own attributes, not its target's.
    attributes = GetFileAttributesW(widePath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      const bool absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
      return {TraceFileState::Missing, absent ? "" : SystemMessage(error)};
    }
    if ((attributes & kNotATraceFile) == 0) return {TraceFileState::NotWritable, SystemMessage(openError)};
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return {TraceFileState::NotRegular, "a symbolic link or other reparse point"};
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return {TraceFileState::NotRegular, "a directory"};
  if (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) {
    return {TraceFileState::NotRegular, "a hidden or system file"};
  }
  return {TraceFileState::NotRegular, "a device"};
}

bool Win32Platform::AppendToTraceFile(std::string_view text) {
  if (trace_ == nullptr) return false;
  const std::string bytes = AnsiFromUtf8(std::string(text));
  DWORD written = 0;
  return WriteFile(trace_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

void Win32Platform::WriteStandardError(std::string_view text) { WriteStandardHandle(STD_ERROR_HANDLE, text); }

std::string Win32Platform::EnvironmentVariable(const std::string& name) {
  const std::wstring wideName = WideFromUtf8(name);
  std::wstring value(256, L'\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return "";  // unset, or set to nothing
    if (length < value.size()) {
      value.resize(length);
      return Utf8FromWide(value);
    }
    value.resize(length);  // too small: length is the size needed, with its terminator
  }
}

// A Windows program is granted nothing to open its ICMP handles: the system's
// ICMP API needs no privilege.
bool Win32Platform::HoldsGrantedPrivilege() { return false; }

std::optional<std::string> Win32Platform::GiveUpPrivilege() { return std::nullopt; }

void Win32Platform::Exit(int exitStatus) {
  timeEndPeriod(1);
  ExitProcess(static_cast<UINT>(exitStatus));
}

}  // namespace korvane
