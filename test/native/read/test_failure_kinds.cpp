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

// Entries made on Unix, stored; the end record declares `declared` of them.
std::string craft(const std::vector<Stored>& entries, int declared = -1) {
  std::string out, directory;
  for (const Stored& e : entries) {
    std::string fields;  // from "version needed" to the extra field's length
    for (uint32_t v : {20u, 0u, uint32_t(e.method), 0u, 0u}) put16(fields, v);
    for (uint32_t v : {zip_format::crc32(e.data) ^ e.crc_error, uint32_t(e.data.size()),
                       uint32_t(e.data.size()), uint32_t(e.name.size())}) {  // no extra field
      put32(fields, v);
    }
    directory += "PK\x01\x02\x14\x03" + fields + std::string(10, '\0');
    put32(directory, out.size());
    out += "PK\x03\x04" + fields + e.name + e.data;
    directory += e.name;
  }
  const uint32_t count = declared < 0 ? entries.size() : declared;
  for (uint32_t v : {0x06054b50u, 0u, count | count << 16, uint32_t(directory.size()),
                     uint32_t(out.size())}) {
    put32(directory, v);
  }
  return out + directory + std::string(2, '\0');
}

TEST(FailureKinds, EachFailureOfReadingSaysItsKind) {
  ScratchFolder scratch;
  const std::string aes = scratch.at("aes.zip");
  std::string reason;
  Kind made_kind = Kind::other;
  Progress progress;
  std::unique_ptr<ArchiveWriter> writer = ArchiveWriter::create(aes, "secret", {}, &reason, &made_kind);
  ASSERT_TRUE(writer && writer->add_data("data", 4, "a", 0, progress) && writer->finish());
  const auto file = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(scratch.at(name), std::ios::binary) << bytes;
    return scratch.at(name);
  };
  file("file", "a file where a folder is needed");
  struct Case {
    std::string archive, password;
    const char* entry;  // unzip_file's, to `target`/a; else unzip_all to `target`
    Kind kind;
    std::string target = "out";
  };
  const std::vector<Case> cases = {
      {scratch.at("missing.zip"), "", nullptr, Kind::read_failed},
      {file("not.zip", "no zip at all"), "", nullptr, Kind::not_archive},
      {file("count.zip", craft({{"a", "A"}, {"b", "B"}}, 1)), "", nullptr, Kind::not_archive},
      {aes, "wrong", "a", Kind::password},
      {aes, "", nullptr, Kind::password},
      {aes, "secret", "b", Kind::no_entry},
      {aes, "secret", "a", Kind::write_failed, "file/below"},
      {aes, "secret", nullptr, Kind::other},
      {file("crc.zip", craft({{"a", "A", 0, 1}})), "", "a", Kind::damaged},
      {file("up.zip", craft({{"ok", "A"}, {"../x", "X"}})), "", nullptr, Kind::unsafe},
      {file("method.zip", craft({{"a", "A", 77}})), "", "a", Kind::unsupported},
      // Of several failures, the first one's kind.
      {file("nul.zip", craft({{std::string("a\0b", 3), "A"}, {"c", "C", 77}})), "", nullptr,
       Kind::invalid_name},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.archive);
    Kind kind = Kind::other;
    std::unique_ptr<ArchiveReader> reader =
        ArchiveReader::load(c.archive, c.password, "", &reason, &kind);
    if (!reader) {
      EXPECT_EQ(c.kind, kind) << reason;
      continue;
    }
    reader->unzip_file("no such entry", scratch.at("none"), progress);  // a kind not to keep
    const std::string target = scratch.at(c.target);
    const bool done = c.entry ? reader->unzip_file(c.entry, target + "/a", progress)
                              : reader->unzip_all(target, progress);
    EXPECT_EQ(c.kind == Kind::other, done) << reader->last_error();
    EXPECT_EQ(c.kind, reader->failure_kind()) << reader->last_error();
  }
}

}  // namespace
