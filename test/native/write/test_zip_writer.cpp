// The zip writer, read back through the reading side (central directory and
// libarchive decoder).
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "archive/write/compressors.h"
#include "archive/write/zip_writer.h"
#include "test/native/read_back.h"
#include "test/native/scratch_folder.h"
#include "fsutil/file.h"

namespace {


// Salts counted up from 1, so that encrypted archives can be compared.
class CountingSalts final : public SaltSource {
 public:
  bool fill(unsigned char* salt, size_t size) override {
    ++count_;
    for (size_t i = 0; i < size; ++i) salt[i] = static_cast<unsigned char>(count_ >> (i % 4 * 8));
    return true;
  }

 private:
  unsigned count_ = 0;
};

// Progress that asks to stop at the first report of `entry` with at least
// `done` bytes.
struct StopAt {
  StopAt(const std::string& entry, int64_t done)
      : progress([this, entry, done](const std::string& name, int64_t at, int64_t) {
          if (name == entry && at >= done) stop = true;
        }, &stop) {}
  std::atomic<bool> stop{false};
  Progress progress;
};

std::string noise(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

// Compressible text with some variety.
std::string text(size_t size) {
  std::string data;
  for (size_t line = 0; data.size() < size; ++line) data += "line " + std::to_string(line * 7919 % 1000) + " of the text\n";
  data.resize(size);
  return data;
}

using Entries = read_back::Entries;  // name, data

class ZipWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.made()); }

  std::string path(const std::string& name) const { return scratch_.at(name); }

  // Writes `entries` (a name ending in '/' is a folder; with `unsized`, a
  // file above the whole-buffer bound is given without its size) and
  // answers the archive's bytes.
  std::string write(const std::string& name, const Entries& entries, size_t threads,
                    const std::string& password = "", size_t piece = 1 << 16,
                    bool unsized = false) {
    CountingSalts salts;
    fsutil::File file = fsutil::File::create(path(name));
    {
      std::unique_ptr<ZipWriter> writer = ZipWriter::start(file, {password, threads, &salts});
      for (const auto& [entry, data] : entries) {
        if (entry.back() == '/') {
          EXPECT_TRUE(writer->add_folder(entry));
          continue;
        }
        const bool large = data.size() > compressors::kWholeBufferBound;
        EXPECT_TRUE(writer->open_file(entry, unsized && large ? zip_writer::kUnknownSize
                                                              : static_cast<int64_t>(data.size())));
        for (size_t at = 0; at < data.size(); at += piece) {
          EXPECT_TRUE(writer->write(data.data() + at, std::min(piece, data.size() - at)));
        }
        EXPECT_TRUE(writer->close_file());
      }
      EXPECT_TRUE(writer->finish());
    }
    file.close();
    return read_file(name);
  }

  std::string read_file(const std::string& name) const {
    fsutil::File file = fsutil::File::open_for_reading(path(name));
    std::string bytes(static_cast<size_t>(file.size()), '\0');
    EXPECT_EQ(static_cast<long long>(bytes.size()), fsutil::read_at(file.fd(), &bytes[0], bytes.size(), 0));
    return bytes;
  }

  // Every entry as libarchive reads it; a damaged one fails the test.
  Entries read(const std::string& name, const std::string& password = "") {
    Entries entries;
    std::string why;
    EXPECT_TRUE(read_back::read_all(path(name), password, &entries, &why)) << name << ": " << why;
    return entries;
  }

  ScratchFolder scratch_;
};

// Sizes on both sides of every boundary the writer has: AE-2 below 20 bytes,
// whole buffers up to the bound, chunks beyond it.
Entries boundary_entries() {
  const size_t bound = compressors::kWholeBufferBound;
  const size_t chunk = compressors::kChunkSize;
  return {{"empty", ""},
          {"folder/", ""},
          {"folder/one", "1"},
          {"nineteen", text(19)},
          {"twenty", text(20)},
          {"noise", noise(70000, 1)},
          {"bound", text(bound)},
          {"bound+1 \xC3\xA9", text(bound + 1)},
          {"chunks", noise(bound + 3 * chunk, 2)},
          {"chunks+1", text(bound + 3 * chunk + 1)}};
}

TEST_F(ZipWriterTest, EveryBoundaryReadsBackWithAndWithoutAPassword) {
  const Entries entries = boundary_entries();
  write("plain.zip", entries, 2);
  EXPECT_EQ(entries, read("plain.zip"));
  write("secret.zip", entries, 2, "pw", 1000);
  EXPECT_EQ(entries, read("secret.zip", "pw"));
}

// Data whose size is known only at its end (a file the system sizes as 0),
// up to an exact number of chunks, where the last chunk is empty.
TEST_F(ZipWriterTest, EntriesOfUnknownSizeReadBack) {
  Entries entries = boundary_entries();
  entries.emplace_back("chunks exactly", text(compressors::kWholeBufferBound + compressors::kChunkSize * 2));
  write("plain.zip", entries, 2, "", 1 << 16, true);
  EXPECT_EQ(entries, read("plain.zip"));
  write("secret.zip", entries, 1, "pw", 3000, true);
  EXPECT_EQ(entries, read("secret.zip", "pw"));
}

TEST_F(ZipWriterTest, TheBytesAreTheSameWhateverTheNumberOfThreads) {
  const Entries entries = boundary_entries();
  for (const std::string password : {"", "pw"}) {
    const std::string one = write("1.zip", entries, 1, password);
    EXPECT_EQ(one, write("2.zip", entries, 2, password, 4096)) << "password '" << password << "'";
    EXPECT_EQ(one, write("8.zip", entries, 8, password, 3 << 20)) << "password '" << password << "'";
  }
}

TEST_F(ZipWriterTest, AStopTakesTheEntryBeingWrittenBackOut) {
  const size_t big = compressors::kWholeBufferBound + 8 * compressors::kChunkSize;
  for (size_t threads : {1, 4}) {
    fsutil::File file = fsutil::File::create(path("t.zip"));
    std::unique_ptr<ZipWriter> writer = ZipWriter::start(file, {"", threads});
    StopAt stop("big", Progress::kReportInterval);
    writer->report_to(stop.progress);
    const std::string data = text(big);
    ASSERT_TRUE(writer->open_file("small", 5) && writer->write("small", 5) && writer->close_file());
    ASSERT_TRUE(writer->open_file("big", static_cast<int64_t>(big)));
    for (size_t at = 0; at < big && !writer->stopped(); at += compressors::kChunkSize) {
      ASSERT_TRUE(writer->write(data.data() + at, compressors::kChunkSize));
    }
    EXPECT_TRUE(writer->close_file()) << "ignored after the stop";
    EXPECT_TRUE(writer->open_file("after", 1) && writer->write("a", 1) && writer->close_file());
    EXPECT_TRUE(writer->flush());
    EXPECT_TRUE(writer->lost_entries());
    EXPECT_TRUE(writer->finish());
    writer.reset();
    EXPECT_EQ((Entries{{"small", "small"}}), read("t.zip")) << threads << " threads";
  }
}

TEST_F(ZipWriterTest, AbandonedWritersWriteNothingMore) {
  fsutil::File file = fsutil::File::create(path("t.zip"));
  std::unique_ptr<ZipWriter> writer = ZipWriter::start(file, {"", 2});
  const std::string data = text(1000);
  ASSERT_TRUE(writer->open_file("a", 1000) && writer->write(data.data(), 1000) && writer->close_file());
  writer->abandon();
  writer.reset();
  EXPECT_EQ(0, file.size());
}

TEST_F(ZipWriterTest, SeventyThousandEntriesGetZip64EndRecords) {
  Entries entries;
  for (int i = 0; i < 70000; ++i) entries.emplace_back("e" + std::to_string(i), std::to_string(i));
  const std::string bytes = write("many.zip", entries, 2);
  EXPECT_NE(std::string::npos, bytes.find("PK\x06\x06", bytes.size() - 200)) << "a ZIP64 end record";
  EXPECT_EQ(entries, read("many.zip"));
}

TEST_F(ZipWriterTest, RefusedNamesLeaveNothingBehind) {
  fsutil::File file = fsutil::File::create(path("t.zip"));
  std::unique_ptr<ZipWriter> writer = ZipWriter::start(file, {"", 1});
  EXPECT_FALSE(writer->open_file("bad\xFF", 1));
  EXPECT_EQ("'bad\xFF' cannot be an entry name: it is not valid UTF-8", writer->refusal());
  EXPECT_FALSE(writer->add_folder("../up/"));
  EXPECT_FALSE(writer->broken()) << "a refused name breaks nothing";
  EXPECT_TRUE(writer->add_folder("good/"));
  EXPECT_TRUE(writer->finish());
  writer.reset();
  EXPECT_EQ((Entries{{"good/", ""}}), read("t.zip"));
}

}  // namespace
