#pragma once
// Conversions between the checker's UTF-8 texts and Windows' own encodings.
#include <string>

namespace korvane {

std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);
// The system's ANSI code page, as text files of Windows programs use it.
std::string AnsiFromUtf8(const std::string& utf8);
// The system's text for an error code (GetLastError, WSAStartup), without its
// closing full stop and line end.
std::string SystemMessage(unsigned long error);

}  // namespace korvane
