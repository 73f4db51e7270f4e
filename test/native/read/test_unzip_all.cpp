// unzip_all on eight threads, natively, so that ThreadSanitizer sees the
// workers, the calling thread and what they share (script/sanitize thread):
// plain and encrypted entries, small and large, names repeated in other
// letter case, and a stop asked for before the end.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "archive/read/archive_reader.h"
#include "archive/write/archive_writer.h"
#include "test/native/scratch_folder.h"

namespace {

std::string text(size_t size, size_t seed) {
  std::string data;
  for (size_t line = 0; data.size() < size; ++line) {
    data += "line " + std::to_string((line + seed) * 7919 % 100003) + "\n";
  }
  data.resize(size);
  return data;
}

std::string contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream data;
  data << file.rdbuf();
  return file ? data.str() : "(missing)";
}

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries tree() {
  Entries entries;
  for (size_t i = 0; i < 200; ++i) {
    entries.emplace_back("d" + std::to_string(i % 9) + "/f" + std::to_string(i), text(i * 300, i));
  }
  entries.emplace_back("big.txt", text(6 << 20, 1));
  entries.emplace_back("d1/F1", "again, in other letter case");
  return entries;
}

bool write_archive(const std::string& path, const std::string& password, const Entries& entries) {
  std::string reason;
  failures::Kind kind;
  std::unique_ptr<ArchiveWriter> writer = ArchiveWriter::create(path, password, {}, &reason, &kind);
  if (!writer) return false;
  Progress progress;
  for (const auto& entry : entries) {
    if (!writer->add_data(entry.second.data(), entry.second.size(), entry.first, 0, progress)) {
      return false;
    }
  }
  return writer->finish();
}

class UnzipAll : public ::testing::Test {
 protected:
  void SetUp() override { setenv("PARVOX_THREADS", "8", 1); }
  void TearDown() override { unsetenv("PARVOX_THREADS"); }
  ScratchFolder scratch;
};

TEST_F(UnzipAll, ExtractsEveryEntryOnEightThreads) {
  const Entries entries = tree();
  for (const std::string password : {"", "secret"}) {
    const std::string archive = scratch.at("t" + password + ".zip");
    ASSERT_TRUE(write_archive(archive, password, entries));
    std::string reason;
    failures::Kind kind;
    std::unique_ptr<ArchiveReader> reader =
        ArchiveReader::load(archive, password, "", &reason, &kind);
    ASSERT_TRUE(reader) << reason;
    const std::string out = scratch.at("out" + password);
    Progress progress;
    ASSERT_TRUE(reader->unzip_all(out, progress)) << reader->last_error();
    for (const auto& entry : entries) {
      if (entry.first == "d1/f1") continue;  // the later d1/F1 may be the same file
      EXPECT_TRUE(contents(out + "/" + entry.first) == entry.second) << entry.first;
    }
  }
}

TEST_F(UnzipAll, StopsWithOnlyWholeFiles) {
  const Entries entries = tree();
  const std::string archive = scratch.at("t.zip");
  ASSERT_TRUE(write_archive(archive, "secret", entries));
  std::string reason;
  failures::Kind kind;
  std::unique_ptr<ArchiveReader> reader =
      ArchiveReader::load(archive, "secret", "", &reason, &kind);
  ASSERT_TRUE(reader) << reason;
  std::atomic<bool> stop{false};
  size_t reports = 0;
  Progress progress([&](const std::string&, int64_t, int64_t) { stop = ++reports == 50; }, &stop);
  EXPECT_FALSE(reader->unzip_all(scratch.at("out"), progress));
  size_t whole = 0;
  for (const auto& entry : entries) {
    const std::string found = contents(scratch.at("out/" + entry.first));
    if (found == "(missing)") continue;
    EXPECT_TRUE(found == entry.second) << entry.first;
    ++whole;
  }
  EXPECT_GT(whole, 0u);
  EXPECT_LT(whole, entries.size());
}

}  // namespace
