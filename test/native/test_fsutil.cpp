#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fsutil/file.h"
#include "fsutil/folder_creation.h"
#include "fsutil/folder_listing.h"
#include "test/native/scratch_folder.h"

namespace {

class FsutilTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.made()); }

  std::string at(const std::string& rel) const { return scratch_.at(rel); }
  void write(const std::string& rel, const std::string& text) const {
    std::ofstream(at(rel)) << text;
  }
  static bool is_folder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  static std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
  }

  ScratchFolder scratch_;
};

TEST_F(FsutilTest, ListFolderTellsFilesFromFoldersAndSkipsTheRest) {
  write("a", "a");
  write("b", "b");
  ::mkdir(at("s").c_str(), 0777);
  ::mkdir(at(".svn").c_str(), 0777);
  ::mkdir(at(".SVN").c_str(), 0777);
  ::mkfifo(at("fifo").c_str(), 0666);
  ::symlink(at("a").c_str(), at("file-link").c_str());
  ::symlink(at("s").c_str(), at("folder-link").c_str());
  ::symlink(at("missing").c_str(), at("broken").c_str());

  using V = std::vector<std::string>;
  EXPECT_EQ((V{"a", "b", "file-link"}), sorted(fsutil::list_folder(scratch_.path(), "*", true, false)));
  EXPECT_EQ((V{".SVN", "folder-link", "s"}), sorted(fsutil::list_folder(scratch_.path(), "*", false, true)));
  EXPECT_EQ((V{"a"}), fsutil::list_folder(scratch_.path(), "a*", true, true));
  EXPECT_TRUE(fsutil::list_folder(at("missing"), "*", true, true).empty());
  EXPECT_TRUE(fsutil::list_folder(at("a"), "*", true, true).empty());
}

TEST_F(FsutilTest, FileIdentityFollowsTheFileNotItsName) {
  write("a", "a");
  write("b", "b");
  ::symlink(at("a").c_str(), at("soft").c_str());
  ::link(at("a").c_str(), at("hard").c_str());
  auto id_of = [this](const std::string& rel) {
    fsutil::FileId id;
    EXPECT_TRUE(fsutil::File::open_for_reading(at(rel)).identity(&id)) << rel;
    return id;
  };
  EXPECT_EQ(id_of("a"), id_of("soft"));
  EXPECT_EQ(id_of("a"), id_of("hard"));
  EXPECT_NE(id_of("a"), id_of("b"));
  fsutil::FileId unused;
  EXPECT_FALSE(fsutil::File().identity(&unused));

  ::mkdir(at("s").c_str(), 0777);
  ::symlink(at("s").c_str(), at("folder-link").c_str());
  fsutil::FileId folder, linked;
  ASSERT_TRUE(fsutil::folder_id(at("s"), &folder));
  ASSERT_TRUE(fsutil::folder_id(at("folder-link"), &linked));
  EXPECT_EQ(folder, linked);
  EXPECT_FALSE(fsutil::folder_id(at("a"), &unused));
}

TEST_F(FsutilTest, MakeParentFoldersCreatesEverythingBeforeTheLastSeparator) {
  EXPECT_TRUE(fsutil::make_parent_folders(at("x/y/file")));
  EXPECT_TRUE(is_folder(at("x/y")));
  EXPECT_FALSE(is_folder(at("x/y/file")));
  EXPECT_TRUE(fsutil::make_parent_folders(at("p/q/")));
  EXPECT_TRUE(is_folder(at("p/q")));
  write("plain", "");
  EXPECT_FALSE(fsutil::make_parent_folders(at("plain/sub/file")));
}

TEST_F(FsutilTest, CreationBeneathARootNeverFollowsALink) {
  ::mkdir(at("root").c_str(), 0777);
  ::mkdir(at("outside").c_str(), 0777);
  ::symlink(at("outside").c_str(), at("root/link").c_str());
  ::symlink(at("outside/f").c_str(), at("root/file-link").c_str());

  fsutil::NewFile made = fsutil::create_file_beneath(at("root"), {"new", "deep", "f"});
  ASSERT_TRUE(made.is_open());
  EXPECT_TRUE(made.file().write_all("x", 1));
  EXPECT_TRUE(made.keep());

  EXPECT_FALSE(fsutil::create_file_beneath(at("root"), {"link", "f"}).is_open());
  EXPECT_FALSE(fsutil::create_file_beneath(at("root"), {"file-link"}).is_open());
  EXPECT_FALSE(fsutil::make_folders_beneath(at("root"), {"link", "sub"}));
  EXPECT_TRUE(fsutil::list_folder(at("outside"), "*", true, true).empty());
  EXPECT_TRUE(fsutil::make_folders_beneath(at("root"), {}));
}

// The system ends a name at a NUL ("..\0x" is ".."): no component holding
// one is ever created, wherever it stands.
TEST_F(FsutilTest, NamesHoldingNulAreNeverCreated) {
  const std::string nul("a\0b", 3), up("..\0x", 4);
  EXPECT_FALSE(fsutil::is_creatable_name(nul));
  EXPECT_FALSE(fsutil::is_creatable_name(up));
  EXPECT_TRUE(fsutil::is_creatable_name("a b"));
  ::mkdir(at("root").c_str(), 0777);
  fsutil::FileCreator files(at("root"));
  EXPECT_FALSE(files.create_file({nul}).is_open());
  EXPECT_FALSE(files.create_file({up, "f"}).is_open());
  EXPECT_FALSE(fsutil::make_folders_beneath(at("root"), {up, "x"}));
  EXPECT_TRUE(fsutil::list_folder(at("root"), "*", true, true).empty());
  EXPECT_EQ(fsutil::list_folder(scratch_.path(), "*", true, true), std::vector<std::string>{"root"});
}

TEST_F(FsutilTest, FileCreatorReusesItsFolderAndStillRefusesLinks) {
  ::mkdir(at("root").c_str(), 0777);
  ::mkdir(at("outside").c_str(), 0777);
  ::symlink(at("outside").c_str(), at("root/link").c_str());
  fsutil::FileCreator files(at("root"));
  EXPECT_TRUE(files.create_file({"d", "e", "one"}).keep());
  EXPECT_TRUE(files.create_file({"d", "e", "two"}).keep());
  EXPECT_FALSE(files.create_file({"link", "f"}).is_open());
  EXPECT_TRUE(files.create_file({"d", "three"}).keep());
  EXPECT_TRUE(files.create_file({"top"}).keep());
  EXPECT_EQ(fsutil::list_folder(at("root/d/e"), "*", true, false).size(), 2u);
  EXPECT_TRUE(is_folder(at("root/d")) && !is_folder(at("root/d/three")));
  EXPECT_TRUE(fsutil::list_folder(at("outside"), "*", true, true).empty());
}

}  // namespace
