// The kind of each failure of reading, which callers tell apart (the Ruby
// face raises a class per kind): one crafted archive per kind.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "archive/read/archive_reader.h"
#include "archive/write/archive_writer.h"
#include "archive/zip_format.h"
#include "test/native/scratch_folder.h"

namespace {

using failures::Kind;
using zip_format::put16;
using zip_format::put32;

struct Stored {
  std::string name, data;
  uint16_t method = 0;  // as the headers say; the data is stored all the same
  uint32_t crc_error = 0;
};

// Stored entries; `disk` numbers the end record's disk, as a split archive's.
std::string craft(const std::vector<Stored>& entries, uint16_t disk = 0, int declared = -1) {
  std::string out, directory;
  for (const Stored& e : entries) {
    std::string fields;  // from "version needed" to the extra field's length
    for (uint16_t v : {20, 0, static_cast<int>(e.method), 0, 0}) put16(fields, v);
    for (uint32_t v : {zip_format::crc32(e.data) ^ e.crc_error, uint32_t(e.data.size()),
                       uint32_t(e.data.size())}) {
      put32(fields, v);
    }
    put16(fields, e.name.size());
    put16(fields, 0);
    directory += "PK\x01\x02\x14\x03" + fields + std::string(10, '\0');  // made on Unix
    put32(directory, out.size());
    directory += e.name;
    out += "PK\x03\x04" + fields + e.name + e.data;
  }
  const uint16_t count = declared < 0 ? entries.size() : declared;
  const size_t start = out.size();
  out += directory + "PK\x05\x06";
  for (uint16_t v : {disk, disk, count, count}) put16(out, v);
  put32(out, directory.size());
  put32(out, start);
  return out + std::string(2, '\0');
}

std::string written(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string aes_archive(const std::string& path) {
  std::string reason;
  std::unique_ptr<ArchiveWriter> writer = ArchiveWriter::create(path, "secret", &reason);
  Progress progress;
  return writer && writer->add_data("data", 4, "a", 0, progress) && writer->finish() ? path : "";
}

TEST(FailureKinds, EachFailureOfReadingSaysItsKind) {
  ScratchFolder scratch;
  written(scratch.at("file"), "a file where a folder is needed");
  const std::string aes = aes_archive(scratch.at("aes.zip"));
  enum class Op { unzip_file, unzip_all };
  struct Case {
    std::string archive;
    std::string password;
    Op op;
    std::string entry;  // unzip_file's; its target is beneath `target`
    Kind kind;
    std::string target = "out";
  };
  const std::vector<Case> cases = {
      {scratch.at("missing.zip"), "", Op::unzip_all, "", Kind::read_failed},
      {written(scratch.at("not.zip"), "no zip at all"), "", Op::unzip_all, "", Kind::not_archive},
      {written(scratch.at("split.zip"), craft({{"a", "A"}}, 1)), "", Op::unzip_all, "",
       Kind::unsupported},
      {written(scratch.at("count.zip"), craft({{"a", "A"}, {"b", "B"}}, 0, 1)), "", Op::unzip_all, "",
       Kind::not_archive},
      {aes, "wrong", Op::unzip_file, "a", Kind::password},
      {aes, "", Op::unzip_all, "", Kind::password},
      {aes, "secret", Op::unzip_file, "b", Kind::no_entry},
      {aes, "secret", Op::unzip_file, "a", Kind::write_failed, "file/below"},
      {aes, "secret", Op::unzip_all, "", Kind::other},
      {written(scratch.at("crc.zip"), craft({{"a", "A", 0, 1}})), "", Op::unzip_file, "a",
       Kind::damaged},
      {written(scratch.at("up.zip"), craft({{"ok", "A"}, {"../x", "X"}})), "", Op::unzip_all, "",
       Kind::unsafe},
      {written(scratch.at("method.zip"), craft({{"a", "A", 77}})), "", Op::unzip_file, "a",
       Kind::unsupported},
      // Of several failures, the first one's kind.
      {written(scratch.at("nul.zip"), craft({{std::string("a\0b", 3), "A"}, {"c", "C", 77}})), "",
       Op::unzip_all, "", Kind::invalid_name},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.archive + " " + c.entry);
    std::string reason;
    Kind kind = Kind::other;
    std::unique_ptr<ArchiveReader> reader =
        ArchiveReader::load(c.archive, c.password, "", &reason, &kind);
    if (!reader) {
      EXPECT_EQ(c.kind, kind) << reason;
      continue;
    }
    Progress progress;
    reader->unzip_file("no such entry", scratch.at("none"), progress);  // a kind not to keep
    const std::string target = scratch.at(c.target);
    const bool done = c.op == Op::unzip_file ? reader->unzip_file(c.entry, target + "/a", progress)
                                             : reader->unzip_all(target, progress);
    EXPECT_EQ(c.kind == Kind::other, done) << reader->last_error();
    EXPECT_EQ(c.kind, reader->failure_kind()) << reader->last_error();
  }
}

}  // namespace
