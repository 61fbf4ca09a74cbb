// The Windows platform services, on real files, under Wine or Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/win32_platform.h"
#include "platform/win32_text.h"

namespace korvane {
namespace {

class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    dir_ = Utf8FromWide(temp) + "korvane-test-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(WideFromUtf8(dir_).c_str(), nullptr));
    path_ = dir_ + "\\pingdebug.txt";
  }
  void TearDown() override {
    SetFileAttributesW(WideFromUtf8(path_).c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(WideFromUtf8(path_).c_str());
    RemoveDirectoryW(WideFromUtf8(path_).c_str());
    RemoveDirectoryW(WideFromUtf8(dir_).c_str());
  }
  std::string Read() {
    std::ifstream in(WideFromUtf8(path_).c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string dir_, path_;
  Win32Platform platform_;
};

TEST_F(Win32Files, OnlyNormalReadOnlyAndArchiveFilesSwitchTheTraceOn) {
  EXPECT_FALSE(platform_.IsOrdinaryFile(path_));
  ASSERT_TRUE(platform_.AppendText(path_, ""));
  const std::wstring wide = WideFromUtf8(path_);
  struct Case {
    DWORD attributes;
    bool counts;
  };
  for (const Case& c : {Case{FILE_ATTRIBUTE_NORMAL, true}, Case{FILE_ATTRIBUTE_READONLY, true},
                        Case{FILE_ATTRIBUTE_ARCHIVE, true}, Case{FILE_ATTRIBUTE_HIDDEN, false},
                        Case{FILE_ATTRIBUTE_SYSTEM, false}}) {
    ASSERT_TRUE(SetFileAttributesW(wide.c_str(), c.attributes));
    EXPECT_EQ(platform_.IsOrdinaryFile(path_), c.counts) << c.attributes;
  }
  SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(wide.c_str());
  ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr));
  EXPECT_FALSE(platform_.IsOrdinaryFile(path_));
  EXPECT_FALSE(platform_.AppendText(path_, "x\r\n"));
}

TEST_F(Win32Files, AppendsInTheAnsiCodePage) {
  EXPECT_TRUE(platform_.AppendText(path_, "one\r\n"));
  EXPECT_TRUE(platform_.AppendText(path_, "caf\xC3\xA9\r\n"));
  if (GetACP() != 1252) GTEST_SKIP() << "expected bytes are for code page 1252";
  EXPECT_EQ(Read(), "one\r\ncaf\xE9\r\n");
}

TEST_F(Win32Files, ReadOnlyTraceFileIsNotWritten) {
  ASSERT_TRUE(platform_.AppendText(path_, "kept\r\n"));
  SetFileAttributesW(WideFromUtf8(path_).c_str(), FILE_ATTRIBUTE_READONLY);
  const HANDLE probe = CreateFileW(WideFromUtf8(path_).c_str(), FILE_APPEND_DATA, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    GTEST_SKIP() << "read-only files are writable here (Wine running as root)";
  }
  EXPECT_FALSE(platform_.AppendText(path_, "lost\r\n"));
  EXPECT_EQ(Read(), "kept\r\n");
}

}  // namespace
}  // namespace korvane
