#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "address/is_not_ip_address.h"
#include "core/runtime_error.h"

namespace korvane {
namespace {

std::int16_t Check(const std::string& text) {
  std::int16_t flag = 7;  // neither 0 nor -1, so a missing write shows
  IsNotIpAddress(text, flag);
  return flag;
}

TEST(IsNotIpAddress, AcceptsExactlyTheDottedQuadForm) {
  for (const std::string text : {"1.2.3.4", "127.0.0.1", "0.0.0.0", "255.255.255.255", "01.002.3.4",
                                 "1.2.3.0000255", "000.000.000.000", "192.0.2.7"}) {
    EXPECT_EQ(Check(text), 0) << text;
  }
}

TEST(IsNotIpAddress, RejectsEverythingElse) {
  const std::vector<std::string> texts = {
      "256.1.1.1", "1.300.1.1", "1.1.256.1",      "1.1.1.256",      "1.2.3.1000",           // range
      "1",         ".1.2.3",    "1234.1.1.1",     "1..2.3",         "1.2345.1.1", "1.2.3",  // dots
      "1.2.3.",    "1.2.3.4.",  "1.2.3.4.5",      " 1.2.3.4",       "1.2.3.4 ",   "1.2.3.4:80", "?1.2.3.4",
      "@1.2.3.4",  "a.b.c.d",   "localhost",      "host.example",   "-1.2.3.4",   "+1.2.3.4",   "1.-2.3.4",
      "1.2.3.4e0", "1,2.3.4",   "1.2.3.\xC3\xA9", "\xC3\xA9.1.2.3", "..",         "...",        "1...",
      "0x1.2.3.4", "1.2.3.0x4", "0001.2.3.4",     "1.0002.3.4",     "1.2.0003.4", "1.2.3.4/24",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(Check(text), -1) << text;
  }
}

TEST(IsNotIpAddress, EmptyTextIsAnInvalidArgumentWithFlagZero) {
  std::int16_t flag = 7;
  try {
    IsNotIpAddress("", flag);
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), ErrorNumber::InvalidArgument);
  }
  EXPECT_EQ(flag, 0);
}

TEST(IsNotIpAddress, HugeFourthGroupOverflowsLeavingFlagAsGroupsBeforeSetIt) {
  struct Case {
    std::string prefix;
    std::int16_t flagAfter;
  };
  for (const Case& c : {Case{"1.2.3.", 0}, Case{"300.2.3.", -1}}) {
    std::int16_t flag = 7;
    try {
      IsNotIpAddress(c.prefix + std::string(400, '9'), flag);
      FAIL() << "no error for " << c.prefix;
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), ErrorNumber::Overflow);
    }
    EXPECT_EQ(flag, c.flagAfter) << c.prefix;
  }
  // 300 nines still fit a double: a plain out-of-range rejection.
  EXPECT_EQ(Check("1.2.3." + std::string(300, '9')), -1);
}

TEST(IsNotIpAddress, TextsOfSixteenBitLengthOverflowOnlyWhenScannedToTheEnd) {
  std::int16_t flag = 7;
  EXPECT_THROW(IsNotIpAddress("1.2.3." + std::string(32761, '0'), flag), RuntimeError);
  EXPECT_EQ(flag, 0);
  EXPECT_THROW(IsNotIpAddress("1.2.3." + std::string(40000, '0'), flag), RuntimeError);
  EXPECT_THROW(IsNotIpAddress("1.2.3.x" + std::string(40000, '0'), flag), RuntimeError);
  // Rejected before the scan is reached.
  EXPECT_EQ(Check("1.2.3.4." + std::string(40000, '0')), -1);
  EXPECT_EQ(Check("x" + std::string(40000, '0')), -1);
  // 32766 characters scan to the end without overflow.
  EXPECT_EQ(Check("1.2.3." + std::string(32760, '0')), 0);
  // Lengths count UTF-16 units, not UTF-8 bytes: 11,007 units (33,007 bytes)
  // are rejected as a name; 16,381 characters outside the basic plane after
  // "1.2.3." make 32,768 units and overflow.
  std::string euros;
  for (int i = 0; i < 11000; ++i)
    euros += "\xE2\x82\xAC";
  EXPECT_EQ(Check("1.2.3.4" + euros), -1);
  std::string faces;
  for (int i = 0; i < 16381; ++i)
    faces += "\xF0\x9F\x98\x80";
  EXPECT_THROW(IsNotIpAddress("1.2.3." + faces, flag), RuntimeError);
}

}  // namespace
}  // namespace korvane
