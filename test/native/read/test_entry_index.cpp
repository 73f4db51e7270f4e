#include <gtest/gtest.h>

#include "archive/read/central_directory.h"
#include "archive/read/entry_index.h"

namespace {

EntryInfo entry(const std::string& name, bool folder = false) {
  EntryInfo info;
  info.name = name;
  info.is_folder = folder;
  info.name_ok = true;
  return info;
}

TEST(EntryIndex, FindsTheFirstEntryOfANameInAnyCaseAndSeparator) {
  EntryIndex index;
  index.add(entry("Docs/", true), 0);
  index.add(entry("Docs/Read Me.TXT"), 1);
  index.add(entry("docs\\read me.txt"), 2);
  index.add(entry("folder\\", true), 3);
  EXPECT_EQ(1, index.find("docs/read me.txt"));
  EXPECT_EQ(1, index.find("DOCS\\READ ME.txt"));
  EXPECT_EQ(0, index.find("docs"));
  EXPECT_EQ(0, index.find("docs/"));
  EXPECT_EQ(3, index.find("folder"));
  EXPECT_EQ(3, index.find("Folder/"));
  EXPECT_EQ(-1, index.find("docs/read me"));
  EXPECT_EQ(-1, index.find("doc"));
  EXPECT_EQ(-1, index.find(""));
  EXPECT_GT(index.memory_size(), 0u);
}

TEST(EntryIndex, OnlyFoldersAnswerWithoutTheirSeparatorAndOnlyAsciiIsFolded) {
  EntryIndex index;
  index.add(entry("file/"), 0);  // a name ending in '/' that is not a folder
  index.add(entry("\xC3\x89t\xC3\xA9.txt"), 1);
  EXPECT_EQ(-1, index.find("file"));
  EXPECT_EQ(0, index.find("FILE/"));
  EXPECT_EQ(1, index.find("\xC3\x89T\xC3\xA9.TXT"));
  EXPECT_EQ(-1, index.find("\xC3\xA9t\xC3\xA9.txt"));
  EXPECT_TRUE(EntryIndex::names("Docs\\A", entry("docs/a")));
  EXPECT_TRUE(EntryIndex::names("docs", entry("DOCS/", true)));
  EXPECT_FALSE(EntryIndex::names("docs", entry("docs/")));

  EntryInfo unnamed = entry("");
  unnamed.name_ok = false;
  index.add(unnamed, 2);
  EXPECT_EQ(-1, index.find(""));
  EXPECT_FALSE(EntryIndex::names("", unnamed));
}

}  // namespace
