#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "windows/windows_command_line.h"

namespace korvane {
namespace {

TEST(StripProgramName, RemovesTheNameAndTheSeparatorsAfterIt) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"korvane.exe 1 a b", u"1 a b"},
      {u"\"C:\\Program Files\\korvane.exe\" 1 a", u"1 a"},
      // A quote only groups: the name goes on to a blank or tab outside quotes.
      {u"\"C:\\Program Files\\korvane.exe\"1 a", u"a"},
      {u"C:\\\"Program Files\"\\korvane\\korvane.exe 1 host", u"1 host"},
      {u"\"C:\\Program Files\"\\korvane\\korvane.exe 1 host", u"1 host"},
      {u"C:\\Tools\\korvane\\korvane.exe 1 host", u"1 host"},
      {u"C:\\\"Program Files\"\\korvane\\korvane.exe\t1 host", u"1 host"},
      {u"C:\\\"Program Files\"\\korvane\\korvane.exe  1 host", u"1 host"},
      {u"C:\\\"Program Files\\korvane.exe 1 a", u""},  // a quote left open takes the line
      {u"korvane.exe  1 a", u"1 a"},                   // a doubled blank must not unset the threshold
      {u"\"korvane.exe\" \t 1  a", u"1  a"},
      {u"korvane.exe\t1\ta", u"1\ta"},
      {u"korvane.exe", u""},
      {u"korvane.exe ", u""},
      {u"\"korvane.exe\"", u""},
      {u"\"unclosed name 1 a", u""},
      {u"korvane.exe \"my host\" x", u"\"my host\" x"},
      {u"", u""},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_TRUE(StripProgramName(line) == expected) << std::string(line.begin(), line.end());
  }
}

}  // namespace
}  // namespace korvane
