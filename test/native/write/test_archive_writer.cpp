// The kinds ArchiveWriter gives its failures, beside reasons that say the same.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>

#include "archive/write/archive_writer.h"
#include "test/native/scratch_folder.h"

namespace {

using Kind = failures::Kind;

std::unique_ptr<ArchiveWriter> create(const std::string& path, Kind* kind) {
  std::string reason;
  return ArchiveWriter::create(path, "", {}, &reason, kind);
}

// Each failure of an add (and of the archive, on a disk that is full) has its
// kind; a success leaves `other` behind.
TEST(ArchiveWriterTest, FailuresHaveTheirKinds) {
  ScratchFolder scratch;
  ASSERT_TRUE(scratch.made());
  const std::string tree = scratch.at("tree");
  ASSERT_EQ(0, ::mkdir(tree.c_str(), 0755));
  std::ofstream(tree + "/\xFF") << "a name that is not UTF-8";
  Kind kind = Kind::busy;
  std::unique_ptr<ArchiveWriter> writer = create(scratch.at("t.zip"), &kind);
  ASSERT_TRUE(writer);
  EXPECT_EQ(Kind::other, kind);
  Progress progress;
  const struct {
    std::function<bool()> add;
    Kind kind;
  } rows[] = {
      {[&] { return writer->add_data("x", 1, "a/../b", 0, progress); }, Kind::invalid_name},
      {[&] { return writer->add_file(scratch.at("missing"), "m", false, false, progress); }, Kind::read_failed},
      {[&] { return writer->add_file(tree, "tree", true, true, progress); }, Kind::invalid_name},
      {[&] { return writer->add_file(scratch.at("t.zip"), "self", false, false, progress); }, Kind::other},
  };
  for (const auto& row : rows) {
    EXPECT_FALSE(row.add());
    EXPECT_EQ(row.kind, writer->failure_kind()) << writer->last_error();
    EXPECT_TRUE(writer->add_data("x", 1, "fine", 0, progress));
    EXPECT_EQ(Kind::other, writer->failure_kind());
  }

  EXPECT_FALSE(create(scratch.at("no/such/folder.zip"), &kind));
  EXPECT_EQ(Kind::write_failed, kind);
  ::setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
  EXPECT_FALSE(create(scratch.at("u.zip"), &kind));
  ::unsetenv("SOURCE_DATE_EPOCH");
  EXPECT_EQ(Kind::other, kind);

  writer = create("/dev/full", &kind);
  ASSERT_TRUE(writer) << "/dev/full opens for writing";
  const std::string data(1 << 20, 'x');
  EXPECT_FALSE(writer->add_data(data.data(), data.size(), "a", 0, progress));
  EXPECT_EQ(Kind::write_failed, writer->failure_kind()) << writer->last_error();
  EXPECT_FALSE(writer->add_data("x", 1, "b", 0, progress));
  EXPECT_EQ(Kind::write_failed, writer->failure_kind()) << writer->last_error();
  EXPECT_FALSE(writer->finish());
  EXPECT_EQ(Kind::write_failed, writer->failure_kind()) << writer->last_error();
}

}  // namespace
