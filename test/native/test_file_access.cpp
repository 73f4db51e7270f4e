#include <cerrno>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "fsutil/file.h"
#include "fsutil/folder_listing.h"
#include "test/native/scratch_folder.h"

namespace {

TEST(FileAccess, ReadsAtAnOffsetLeaveEveryReaderItsOwnPlace) {
  ScratchFolder scratch;
  ASSERT_TRUE(scratch.made());
  const std::string path = scratch.at("f");
  std::ofstream(path) << "0123456789";

  fsutil::File file = fsutil::File::open_for_reading(path);
  ASSERT_TRUE(file.is_open());
  char buffer[4] = {};
  ASSERT_EQ(3, fsutil::read_at(file.fd(), buffer, 3, 6));
  EXPECT_EQ("678", std::string(buffer, 3));
  EXPECT_EQ(1, fsutil::read_at(file.fd(), buffer, 3, 9));
  EXPECT_EQ(0, fsutil::read_at(file.fd(), buffer, 3, 10));
  EXPECT_EQ(10, fsutil::file_size(file.fd()));

  fsutil::File second = file.duplicate();
  ASSERT_TRUE(second.is_open());
  file.close();
  EXPECT_EQ(2, fsutil::read_at(second.fd(), buffer, 2, 0)) << "the duplicate outlives the first";
  ASSERT_EQ(2, second.read(buffer, 2));
  EXPECT_EQ("01", std::string(buffer, 2)) << "read_at did not move the position";
  fsutil::FileId id;
  EXPECT_FALSE(fsutil::folder_id(path, &id));
  EXPECT_EQ("Not a directory", fsutil::last_error_text());
}

TEST(FileAccess, ListingsSayWhyAFolderCouldNotBeRead) {
  std::string failure;
  EXPECT_TRUE(fsutil::list_folder("/no/such/folder", "*", true, true, &failure).empty());
  EXPECT_EQ("No such file or directory", failure);
  failure.clear();
  fsutil::list_folder("/", "*", true, true, &failure);
  EXPECT_EQ("", failure);
  EXPECT_EQ("No space left on device", fsutil::error_text(ENOSPC));
}

}  // namespace
