// path_pattern against Ruby's File.fnmatch: the answers below are File.fnmatch's
// (Ruby 3.1), with File::FNM_PATHNAME | File::FNM_EXTGLOB, without and with
// File::FNM_DOTMATCH, for each of kPaths in turn ('1': a match). Without dot
// matching, only a '.' of the pattern matches the '.' a level begins with,
// which add_file's walk never shows: it leaves hidden names out first.
#include <gtest/gtest.h>

#include <string>

#include "archive/write/path_pattern.h"

namespace {

const char* const kPaths[] = {".env", "a/.env", ".git/config", "a/b/.c/d", "x.txt",
                              "a/b/c.log", "a/.b", ".a/b", "\xC3\xA9/\xC3\xBC"};

struct Row {
  const char* pattern;
  const char* plain;
  const char* dots;
};

const Row kRows[] = {
  {"*", "000010000", "100010000"},
  {".*", "100000000", "100000000"},
  {"*env", "000000000", "100000000"},
  {"?env", "000000000", "100000000"},
  {"[.]env", "000000000", "100000000"},
  {"\\.env", "100000000", "100000000"},
  {"*/.env", "010000000", "010000000"},
  {"*/*", "000000001", "011000111"},
  {"**/*", "000011001", "111111111"},
  {"**/.env", "110000000", "110000000"},
  {"**/config", "000000000", "001000000"},
  {"**/d", "000000000", "000100000"},
  {"a/**/d", "000000000", "000100000"},
  {"a/**/.c/d", "000100000", "000100000"},
  {"{.e,x}*", "100010000", "100010000"},
  {"{*/,}.env", "110000000", "110000000"},
  {"**/*.log", "000001000", "000001000"},
  {".git/*", "001000000", "001000000"},
  {"a/*/c.log", "000001000", "000001000"},
  {"a/?", "000000000", "000000000"},
  {"a/[.]b", "000000000", "000000100"},
  {"*/.*", "010000100", "010000100"},
  {"a/[!.]b", "000000000", "000000000"},
  {"?/?", "000000001", "000000001"},
  {"[^a]/[\xC3\xBC]", "000000001", "000000001"},
};

TEST(PathPatternTest, AnswersAsFileFnmatch) {
  for (const Row& row : kRows) {
    for (size_t i = 0; i < std::size(kPaths); ++i) {
      EXPECT_EQ(row.plain[i] == '1', path_pattern::matches(row.pattern, kPaths[i], false))
          << row.pattern << " on " << kPaths[i];
      EXPECT_EQ(row.dots[i] == '1', path_pattern::matches(row.pattern, kPaths[i], true))
          << row.pattern << " on " << kPaths[i] << ", dots matched";
    }
  }
}

}  // namespace
