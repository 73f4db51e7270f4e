#include <clocale>
#include <string>

#include <gtest/gtest.h>

#include "archive/names.h"

namespace {

// Runs the conversions under one locale, restoring the previous one after.
class LocaleTest : public ::testing::Test {
 protected:
  bool use(const char* locale) { return std::setlocale(LC_ALL, locale) != nullptr; }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(LocaleTest, Utf8LocalePassesBytesThroughUpToTheFirstNul) {
  ASSERT_TRUE(use("C.UTF-8"));
  EXPECT_EQ("", names::utf8_to_ansi(""));
  EXPECT_EQ("na\xC3\xAFve/\xE6\x97\xA5", names::utf8_to_ansi("na\xC3\xAFve/\xE6\x97\xA5"));
  EXPECT_EQ("cut", names::utf8_to_ansi("cut\0rest"));
  EXPECT_EQ("\xFF\xFE broken", names::utf8_to_ansi("\xFF\xFE broken"));
  EXPECT_EQ("\xC3\xA9", names::ansi_to_utf8("\xC3\xA9"));
}

TEST_F(LocaleTest, Latin1LocaleConvertsBothWays) {
  if (!use("en_US.ISO-8859-1")) GTEST_SKIP() << "en_US.ISO-8859-1 is not installed";
  EXPECT_EQ("caf\xE9 ok", names::utf8_to_ansi("caf\xC3\xA9 ok"));
  EXPECT_EQ("caf\xC3\xA9", names::ansi_to_utf8("caf\xE9"));
  // A character Latin-1 lacks becomes '?' (or a transliteration), and its
  // neighbours survive.
  const std::string out = names::utf8_to_ansi("a\xE6\x97\xA5z");
  EXPECT_EQ('a', out.front());
  EXPECT_EQ('z', out.back());
  EXPECT_NE(std::string::npos, out.find('?'));
  // Invalid UTF-8 never fails and never swallows the rest.
  EXPECT_EQ("?x", names::utf8_to_ansi("\xC3x").substr(0, 2));
}

// The C locale's charset is ASCII; names there are the UTF-8 bytes they are
// on disk, so nothing is converted or replaced.
TEST_F(LocaleTest, AsciiLocalePassesBytesThroughLikeUtf8) {
  ASSERT_TRUE(use("C"));
  EXPECT_EQ("plain ascii", names::utf8_to_ansi("plain ascii"));
  EXPECT_EQ("na\xC3\xAFve/\xE6\x97\xA5", names::utf8_to_ansi("na\xC3\xAFve/\xE6\x97\xA5"));
  EXPECT_EQ("\xC3\xA9t\xC3\xA9", names::ansi_to_utf8("\xC3\xA9t\xC3\xA9"));
  EXPECT_EQ("caf\xE9", names::ansi_to_utf8("caf\xE9"));
  const std::string long_text(100000, 'x');
  EXPECT_EQ(long_text, names::utf8_to_ansi(long_text.c_str()));
}

TEST(ReplaceChar, ReplacesEveryOccurrenceAndNothingElse) {
  std::string path = "C:\\dir\\sub\\file.txt";
  names::replace_char(path, '\\', '/');
  EXPECT_EQ("C:/dir/sub/file.txt", path);
  std::string plain = "no separators";
  names::replace_char(plain, '\\', '/');
  EXPECT_EQ("no separators", plain);
}

}  // namespace
