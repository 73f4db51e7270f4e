#include <langinfo.h>
#include <locale.h>

#include <clocale>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fsutil/thread_locale.h"

namespace {

std::string charset() { return nl_langinfo(CODESET); }

class ThreadLocaleTest : public ::testing::Test {
 protected:
  bool use(const char* locale) { return std::setlocale(LC_ALL, locale) != nullptr; }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST(AsciiCharset, KnowsTheNamesOfAscii) {
  EXPECT_TRUE(fsutil::is_ascii_charset("ANSI_X3.4-1968"));
  EXPECT_TRUE(fsutil::is_ascii_charset("US-ASCII"));
  EXPECT_FALSE(fsutil::is_ascii_charset("UTF-8"));
  EXPECT_FALSE(fsutil::is_ascii_charset("ISO-8859-1"));
}

TEST_F(ThreadLocaleTest, AsciiLocaleIsUtf8OnlyWhileTheScopeLivesAndOnlyOnThisThread) {
  ASSERT_TRUE(use("C"));
  const std::string before = charset();
  ASSERT_TRUE(fsutil::is_ascii_charset(before.c_str()));
  {
    fsutil::Utf8NamesOnThisThread outer;
    EXPECT_EQ("UTF-8", charset());
    {
      fsutil::Utf8NamesOnThisThread inner;
      EXPECT_EQ("UTF-8", charset());
    }
    EXPECT_EQ("UTF-8", charset());
    // The process locale is untouched: it still says C, and so does any
    // other thread.
    EXPECT_STREQ("C", std::setlocale(LC_CTYPE, nullptr));
    std::string other_thread;
    std::thread([&] { other_thread = charset(); }).join();
    EXPECT_EQ(before, other_thread);
  }
  EXPECT_EQ(before, charset());
  EXPECT_EQ(LC_GLOBAL_LOCALE, uselocale(static_cast<locale_t>(0)));
}

TEST_F(ThreadLocaleTest, OtherLocalesAreLeftAsTheyAre) {
  if (!use("en_US.ISO-8859-1")) GTEST_SKIP() << "en_US.ISO-8859-1 is not installed";
  {
    fsutil::Utf8NamesOnThisThread scope;
    EXPECT_EQ("ISO-8859-1", charset());
  }
  ASSERT_TRUE(use("C.UTF-8"));
  fsutil::Utf8NamesOnThisThread scope;
  EXPECT_EQ("UTF-8", charset());
}

}  // namespace
