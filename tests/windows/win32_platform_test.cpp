// The Windows platform services on real files and the environment, and the
// reading of the ICMP API's reply buffers, under Wine or Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// clang-format off
#include <winsock2.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include "icmp/awaited_request.h"
#include "windows/win32_platform.h"
#include "windows/win32_text.h"
#include "windows/windows_reply.h"

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
    platform_.OpenTraceFile(dir_ + "\\none");  // closes the trace file
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

void Touch(const std::string& path) { std::ofstream(WideFromUtf8(path).c_str(), std::ios::binary); }

// True when a write access still opens the read-only file: the account may
// override read-only there (Wine run as root may).
bool WritableDespiteReadOnly(const std::string& path) {
  const HANDLE probe =
      CreateFileW(WideFromUtf8(path).c_str(), FILE_APPEND_DATA,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return false;
  CloseHandle(probe);
  return true;
}

// Only an existing normal, read-only or archive file takes the trace; a
// hidden or system file and a directory do not, and nothing is ever created.
// (Wine makes no symbolic links: the reparse-point rule rests on the
// system's documentation of FILE_FLAG_OPEN_REPARSE_POINT.)
TEST_F(Win32Files, OpensOnlyAnExistingOrdinaryFile) {
  const std::wstring wide = WideFromUtf8(path_);
  EXPECT_EQ(platform_.OpenTraceFile(path_).state, TraceFileState::Missing);
  EXPECT_FALSE(platform_.AppendToTraceFile("x\r\n"));
  EXPECT_EQ(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES) << "created";
  Touch(path_);
  struct Case {
    DWORD attributes;
    TraceFileState state;
    std::string detail;
  };
  for (const Case& c : {Case{FILE_ATTRIBUTE_NORMAL, TraceFileState::Open, ""},
                        Case{FILE_ATTRIBUTE_READONLY, TraceFileState::NotWritable, "*"},
                        Case{FILE_ATTRIBUTE_ARCHIVE, TraceFileState::Open, ""},
                        Case{FILE_ATTRIBUTE_HIDDEN, TraceFileState::NotRegular, "a hidden or system file"},
                        Case{FILE_ATTRIBUTE_SYSTEM, TraceFileState::NotRegular, "a hidden or system file"}}) {
    ASSERT_TRUE(SetFileAttributesW(wide.c_str(), c.attributes));
    TraceFileState expected = c.state;
    if (c.attributes == FILE_ATTRIBUTE_READONLY && WritableDespiteReadOnly(path_))
      expected = TraceFileState::Open;
    const TraceFileOpening opened = platform_.OpenTraceFile(path_);
    EXPECT_EQ(opened.state, expected) << c.attributes;
    if (c.detail != "*") {
      EXPECT_EQ(opened.detail, c.detail) << c.attributes;
    }
    EXPECT_EQ(platform_.AppendToTraceFile("x\r\n"), expected == TraceFileState::Open) << c.attributes;
  }
  SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(wide.c_str());
  ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr));
  EXPECT_EQ(platform_.OpenTraceFile(path_).state, TraceFileState::NotRegular);
  RemoveDirectoryW(wide.c_str());
}

TEST_F(Win32Files, AppendsInTheAnsiCodePage) {
  Touch(path_);
  ASSERT_EQ(platform_.OpenTraceFile(path_).state, TraceFileState::Open);
  EXPECT_TRUE(platform_.AppendToTraceFile("one\r\n"));
  EXPECT_TRUE(platform_.AppendToTraceFile("caf\xC3\xA9\r\n"));
  platform_.OpenTraceFile(dir_ + "\\none");  // closes the trace file
  if (GetACP() != 1252) GTEST_SKIP() << "expected bytes are for code page 1252";
  EXPECT_EQ(Read(), "one\r\ncaf\xE9\r\n");
}

TEST(Win32Environment, ValuesOfAnyLengthUnsetAndEmpty) {
  Win32Platform platform;
  const std::string longValue = "C:\\t\xC3\xA9" + std::string(300, 'x');
  for (const std::string& value : {std::string("C:\\trace.log"), longValue}) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANE_TEST_VARIABLE", WideFromUtf8(value).c_str()));
    EXPECT_EQ(platform.EnvironmentVariable("KORVANE_TEST_VARIABLE"), value);
  }
  ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANE_TEST_VARIABLE", L""));
  EXPECT_EQ(platform.EnvironmentVariable("KORVANE_TEST_VARIABLE"), "");
  ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANE_TEST_VARIABLE", nullptr));
  EXPECT_EQ(platform.EnvironmentVariable("KORVANE_TEST_VARIABLE"), "");
}

// Reply buffers written byte by byte where the system's x64 layout puts each
// field (ICMP_ECHO_REPLY: address 0, status 4, round trip 8, data size 12,
// data pointer 16; ICMPV6_ECHO_REPLY, whose address part is packed to one
// byte: address 6, scope 22, status 28, round trip 32, the data after it at
// 36), never through the code's own declarations. What Wine's API
// cannot produce (ICMPv6, errors) is read the same way.
TEST(WindowsReplyBuffer, RepliesErrorsAndSilenceOfBothFamilies) {
  const IpAddress v4Target = IpAddress::Ipv4(0xC0000207);
  const std::uint8_t global[16] = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
  const std::uint8_t other[16] = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x99};
  const std::uint8_t linkLocal[16] = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const IpAddress v6Target = IpAddress::Ipv6(global);
  const IpAddress zoned = IpAddress::Ipv6(linkLocal, 3, "eth0");
  using Kind = EchoOutcome::Kind;
  enum class Data {
    Ours,
    OtherCookie,
    ShortOrAway
  };  // echoed as sent, one byte changed, cut or out of the buffer
  struct Case {
    const char* what;
    bool ipv6;
    const std::uint8_t* from;  // IPv6 source, or null for the IPv4 target
    ULONG scopeId;
    ULONG status;
    IpAddress target;
    Kind kind;
    std::string source;
    Data data = Data::Ours;
  };
  const Case cases[] = {
      {"IPv4 reply", false, nullptr, 0, IP_SUCCESS, v4Target, Kind::Reply, "192.0.2.7"},
      {"IPv4 unreachable", false, nullptr, 0, IP_DEST_HOST_UNREACHABLE, v4Target, Kind::Error, ""},
      {"IPv4 time-out", false, nullptr, 0, IP_REQ_TIMED_OUT, v4Target, Kind::Nothing, ""},
      {"IPv4 reply with another cookie", false, nullptr, 0, IP_SUCCESS, v4Target, Kind::NotOurs, "",
       Data::OtherCookie},
      {"IPv4 reply data cut short", false, nullptr, 0, IP_SUCCESS, v4Target, Kind::NotOurs, "",
       Data::ShortOrAway},
      {"IPv6 reply", true, global, 0, IP_SUCCESS, v6Target, Kind::Reply, "2001:db8::7"},
      {"IPv6 reply from another host", true, other, 0, IP_SUCCESS, v6Target, Kind::Reply, "2001:db8::99"},
      {"IPv6 reply keeps the zone", true, linkLocal, 3, IP_SUCCESS, zoned, Kind::Reply, "fe80::1%eth0"},
      {"IPv6 reply, zone in network order", true, linkLocal, htonl(3), IP_SUCCESS, zoned, Kind::Reply,
       "fe80::1%eth0"},
      {"IPv6 reply from another zone", true, linkLocal, 4, IP_SUCCESS, zoned, Kind::Reply, "fe80::1%4"},
      {"IPv6 unreachable", true, global, 0, IP_DEST_UNREACHABLE, v6Target, Kind::Error, ""},
      {"IPv6 packet too big", true, global, 0, IP_PACKET_TOO_BIG, v6Target, Kind::Error, ""},
      {"IPv6 source quench", true, global, 0, IP_SOURCE_QUENCH, v6Target, Kind::Nothing, ""},
      {"IPv6 reply with another cookie", true, global, 0, IP_SUCCESS, v6Target, Kind::NotOurs, "",
       Data::OtherCookie},
      {"IPv6 reply data beyond the buffer", true, global, 0, IP_SUCCESS, v6Target, Kind::NotOurs, "",
       Data::ShortOrAway},
  };
  const auto put32 = [](unsigned char* at, std::uint32_t value) {  // little-endian
    for (int i = 0; i < 4; ++i)
      at[i] = static_cast<unsigned char>(value >> (8 * i));
  };
  const unsigned char cookie[kCookieSize] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const std::vector<unsigned char> payload = EchoPayload(32, cookie);
  for (const Case& c : cases) {
    unsigned char buffer[256];
    std::memset(buffer, 0xEE, sizeof buffer);  // no field read where nothing was written
    // The echoed data: right after the ICMPv6 reply (36 bytes); for IPv4
    // where its Data pointer (offset 16) says, DataSize (offset 12) bytes.
    const std::size_t dataAt = c.ipv6 ? 36 : 48;
    std::memcpy(buffer + dataAt, payload.data(), payload.size());
    if (c.data == Data::OtherCookie) buffer[dataAt + 3] ^= 0x01;
    std::size_t size = sizeof buffer;
    if (c.ipv6) {
      std::memcpy(buffer + 6, c.from, 16);
      put32(buffer + 22, c.scopeId);
      put32(buffer + 28, c.status);
      put32(buffer + 32, 12);
      if (c.data == Data::ShortOrAway) size = dataAt + payload.size() - 1;
    } else {
      const unsigned char address[4] = {192, 0, 2, 7};  // network order
      std::memcpy(buffer, address, 4);
      put32(buffer + 4, c.status);
      put32(buffer + 8, 12);
      const std::uint16_t dataSize = c.data == Data::ShortOrAway ? 31 : 32;
      std::memcpy(buffer + 12, &dataSize, 2);
      const unsigned char* data = buffer + dataAt;
      std::memcpy(buffer + 16, &data, sizeof data);
    }
    const EchoOutcome outcome = ReadReplyBuffer(buffer, size, c.ipv6, 1, 0, c.target, payload);
    EXPECT_EQ(outcome.kind, c.kind) << c.what;
    EXPECT_EQ(outcome.source, c.source) << c.what;
    if (c.kind == Kind::Reply) {
      EXPECT_EQ(outcome.roundTripMs, 12) << c.what;
    }
  }
  // Nothing parsed: the error GetLastError gave decides.
  EXPECT_EQ(ReadReplyBuffer(nullptr, 0, true, 0, IP_REQ_TIMED_OUT, v6Target, payload).kind, Kind::Nothing);
  EXPECT_EQ(ReadReplyBuffer(nullptr, 0, false, 0, IP_GENERAL_FAILURE, v4Target, payload).kind, Kind::Error);
}

}  // namespace
}  // namespace korvane
