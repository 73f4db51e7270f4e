#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "archive/read/central_directory.h"
#include "archive/utf8.h"
#include "archive/zip_format.h"
#include "archive/names.h"

namespace {

using zip_format::put16;
using zip_format::put32;
using zip_format::put64;

struct Entry {
  std::string name;
  std::string data;  // stored as is
  uint16_t flags = 0;
  std::string extra;
  std::string local_name;  // when it differs from `name`
  std::string descriptor;  // bytes after the data
};

// Writes a stored-method archive after `prefix`; offsets in it count from
// the archive's own start, as a self-extractor's do. With `zip64`, the end
// record defers to ZIP64 end records and every offset is in a ZIP64 field.
struct Built {
  std::string bytes;
  std::vector<size_t> local_headers;
};

Built build(const std::vector<Entry>& entries, const std::string& prefix = "", bool zip64 = false,
            int64_t declared = -1) {
  Built built{prefix, {}};
  std::string directory;
  for (const Entry& e : entries) {
    const uint32_t offset = static_cast<uint32_t>(built.bytes.size() - prefix.size());
    built.local_headers.push_back(built.bytes.size());
    const std::string& local_name = e.local_name.empty() ? e.name : e.local_name;
    const uint32_t crc = zip_format::crc32(e.data);
    std::string& out = built.bytes;
    out += "PK\x03\x04";
    put16(out, 10); put16(out, e.flags); put16(out, 0); put32(out, 0);
    put32(out, crc); put32(out, e.data.size()); put32(out, e.data.size());
    put16(out, local_name.size()); put16(out, 0);
    out += local_name + e.data + e.descriptor;
    std::string extra = e.extra;
    if (zip64) {
      put16(extra, 1); put16(extra, 8);
      put64(extra, offset);
    }
    directory += "PK\x01\x02";
    put16(directory, 0x031E); put16(directory, 10); put16(directory, e.flags); put16(directory, 0);
    put32(directory, 0); put32(directory, crc);
    put32(directory, e.data.size()); put32(directory, e.data.size());
    put16(directory, e.name.size()); put16(directory, extra.size()); put16(directory, 0);
    put16(directory, 0); put16(directory, 0); put32(directory, 0);
    put32(directory, zip64 ? 0xFFFFFFFF : offset);
    directory += e.name + extra;
  }
  const uint64_t count = declared >= 0 ? static_cast<uint64_t>(declared) : entries.size();
  const uint64_t start = built.bytes.size() - prefix.size();
  std::string& out = built.bytes;
  out += directory;
  if (zip64) {
    const uint64_t record = out.size() - prefix.size();
    out += "PK\x06\x06";
    put64(out, 44); put16(out, 45); put16(out, 45); put32(out, 0); put32(out, 0);
    put64(out, count); put64(out, count); put64(out, directory.size()); put64(out, start);
    out += "PK\x06\x07";
    put32(out, 0); put64(out, record); put32(out, 1);
  }
  out += "PK\x05\x06";
  put16(out, 0); put16(out, 0);
  put16(out, zip64 ? 0xFFFF : count); put16(out, zip64 ? 0xFFFF : count);
  put32(out, zip64 ? 0xFFFFFFFF : directory.size()); put32(out, zip64 ? 0xFFFFFFFF : start);
  put16(out, 7);
  out += "comment";
  return built;
}

// The directory, or the reason it was refused.
std::unique_ptr<CentralDirectory> read(const std::string& bytes, std::string* reason) {
  MemoryBytes memory(bytes.data(), bytes.size());
  failures::Kind kind;
  DirectoryLocation location;
  if (!CentralDirectory::locate(memory, &location, reason, &kind)) return nullptr;
  return CentralDirectory::read(memory, location, reason, &kind);
}

std::string refusal(const std::string& bytes) {
  std::string reason;
  return read(bytes, &reason) ? "read" : reason;
}

TEST(CentralDirectory, FindsEveryEntryBehindAPrefixAndWithZip64Records) {
  const std::vector<Entry> entries = {{"a.txt", "alpha"}, {"dir/", ""}, {"dir/B.txt", "beta"},
                                      {"A.TXT", "duplicate"}};
  for (bool zip64 : {false, true}) {
    const Built built = build(entries, std::string(1000, 'x'), zip64);
    std::string reason;
    auto directory = read(built.bytes, &reason);
    ASSERT_TRUE(directory) << reason;
    ASSERT_EQ(4u, directory->entries().size());
    MemoryBytes memory(built.bytes.data(), built.bytes.size());
    for (size_t i = 0; i < 4; ++i) {
      const DirectoryEntry& entry = directory->entries()[i];
      EXPECT_EQ(entries[i].name, entry.info.name);
      EXPECT_EQ(built.local_headers[i], static_cast<size_t>(entry.local_header));
      EntrySpan span;
      ASSERT_TRUE(CentralDirectory::locate_entry(memory, entry, &span, &reason)) << reason;
      EXPECT_EQ(entries[i].data,
                built.bytes.substr(span.begin + 30 + entries[i].name.size(), entries[i].data.size()));
    }
    EXPECT_TRUE(directory->entries()[1].info.is_folder);
    EXPECT_EQ(0, directory->find("A.txt"));  // the first of two with that name
    EXPECT_EQ(1, directory->find("DIR"));
    EXPECT_EQ(2, directory->find("dir\\b.txt"));
    EXPECT_EQ(-1, directory->find("b.txt"));
  }
}

TEST(CentralDirectory, RefusesDirectoriesThatContradictThemselvesOrTheFile) {
  const std::vector<Entry> one = {{"a.txt", "alpha"}};
  EXPECT_EQ("its central directory holds 1 entries where its end record declares 0",
            refusal(build(one, "", false, 0).bytes));
  EXPECT_EQ("its end record declares more entries than its central directory can hold",
            refusal(build(one, "", false, 9).bytes));
  EXPECT_EQ("", refusal("PK\x03\x04 nothing else"));  // no zip archive at all
  // Counts past 65,535 wrap in a classic end record: that is no lie.
  EXPECT_EQ("read", refusal(build(std::vector<Entry>(65537, Entry{"x", ""}), "", false, 1).bytes));

  std::string past = build(one).bytes;
  past[past.size() - 7 - 6] = '\x7F';  // the directory's offset: past its start
  EXPECT_EQ("its end record places the central directory outside the file", refusal(past));

  std::string locator = build(one, "", true).bytes;
  const size_t record = locator.find("PK\x06\x06");
  locator[record + 3] = 'x';
  EXPECT_EQ("its ZIP64 locator leads to no ZIP64 end record", refusal(locator));

  std::string header_out = build(one).bytes;
  const size_t offset_field = header_out.find("PK\x01\x02") + 42;
  header_out[offset_field + 2] = '\x10';
  EXPECT_EQ("its central directory record 1 places its entry outside the file", refusal(header_out));

  std::string no_zip64 = build(one, "", true).bytes;
  no_zip64[no_zip64.find("PK\x01\x02") + 46 + 5] = '\x09';  // the field's id
  EXPECT_EQ("its central directory record 1 has a damaged ZIP64 field", refusal(no_zip64));
}

TEST(CentralDirectory, ChecksEachLocalHeaderAgainstItsRecord) {
  Entry renamed{"a.txt", "alpha"};
  renamed.local_name = "b.txt";
  const std::string bytes = build({renamed, {"c.txt", "gamma"}}).bytes;
  std::string reason;
  auto directory = read(bytes, &reason);
  ASSERT_TRUE(directory) << reason;
  MemoryBytes memory(bytes.data(), bytes.size());
  EntrySpan span;
  EXPECT_FALSE(CentralDirectory::locate_entry(memory, directory->entries()[0], &span, &reason));
  EXPECT_EQ("its local header names another entry", reason);

  // Whatever the directory's own descriptor flag says, a local header
  // without one must repeat every value the data is read by.
  const std::vector<std::pair<std::string, void (*)(DirectoryEntry&)>> changes = {
      {"method", [](DirectoryEntry& e) { e.method = 8; }},
      {"encryption", [](DirectoryEntry& e) { e.flags |= 1; }},
      {"CRC", [](DirectoryEntry& e) { e.crc ^= 1; }},
      {"sizes", [](DirectoryEntry& e) { e.compressed_size = 1 << 20; }},
      {"sizes", [](DirectoryEntry& e) { e.flags |= 1 << 3; e.info.size = 9; }},
  };
  for (const auto& change : changes) {
    DirectoryEntry changed = directory->entries()[1];
    change.second(changed);
    EXPECT_FALSE(CentralDirectory::locate_entry(memory, changed, &span, &reason));
    EXPECT_EQ("its local header disagrees with the central directory (" + change.first + ")", reason);
  }
}

// A local header that defers CRC and sizes to a data descriptor: the
// descriptor must repeat the directory's, in any of its four forms.
TEST(CentralDirectory, ChecksADataDescriptorAgainstTheRecord) {
  const std::string data = "delta";
  const uint32_t crc = zip_format::crc32(data);
  std::vector<std::string> forms(4);
  for (size_t i = 0; i < forms.size(); ++i) {
    if (i < 2) forms[i] = "PK\x07\x08";
    put32(forms[i], crc);
    if (i % 2 == 0) {
      put32(forms[i], data.size()); put32(forms[i], data.size());
    } else {
      put64(forms[i], data.size()); put64(forms[i], data.size());
    }
  }
  for (const std::string& form : forms) {
    Entry deferred{"d.txt", data, 1 << 3};
    deferred.descriptor = form;
    const Built built = build({deferred});
    std::string reason;
    auto directory = read(built.bytes, &reason);
    ASSERT_TRUE(directory) << reason;
    MemoryBytes memory(built.bytes.data(), built.bytes.size());
    DirectoryEntry entry = directory->entries()[0];
    EntrySpan span;
    ASSERT_TRUE(CentralDirectory::locate_entry(memory, entry, &span, &reason)) << reason;
    EXPECT_EQ(static_cast<int64_t>(30 + 5 + data.size() + form.size()), span.end);
    entry.crc ^= 1;
    EXPECT_FALSE(CentralDirectory::locate_entry(memory, entry, &span, &reason));
    EXPECT_EQ("its data descriptor disagrees with the central directory", reason);
    entry.compressed_size = 1 << 20;
    EXPECT_FALSE(CentralDirectory::locate_entry(memory, entry, &span, &reason));
    EXPECT_EQ("its data runs past the end of the archive", reason);
  }
}

TEST(StoredNames, UnflaggedUtf8IsTakenAsUtf8AndAMatchingUnicodePathWins) {
  const std::string utf8 = "caf\xC3\xA9.txt";
  const std::string cp437 = "caf\x82.txt";
  std::string unicode_path;
  put16(unicode_path, 0x7075);
  put16(unicode_path, 5 + utf8.size());
  unicode_path += '\x01';
  put32(unicode_path, zip_format::crc32(cp437));
  unicode_path += utf8;

  EXPECT_TRUE(CentralDirectory::choose_name(utf8, 0, "").is_utf8);
  EXPECT_FALSE(CentralDirectory::choose_name("plain.txt", 0, "").is_utf8);
  EXPECT_FALSE(CentralDirectory::choose_name(cp437, 0, "").is_utf8);
  EXPECT_TRUE(CentralDirectory::choose_name(cp437, 1 << 11, "").is_utf8);  // flagged, even when invalid
  const ChosenName from_field = CentralDirectory::choose_name(cp437, 0, unicode_path);
  EXPECT_EQ(utf8, from_field.text);
  EXPECT_TRUE(from_field.is_utf8);
  const ChosenName stale = CentralDirectory::choose_name("other.txt", 0, unicode_path);  // CRC of another name
  EXPECT_EQ("other.txt", stale.text);
  EXPECT_FALSE(stale.is_utf8);
}

TEST(StoredNames, OnlyWellFormedUtf8IsValid) {
  EXPECT_TRUE(utf8::is_valid("\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80"));
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3",
                          "\x82", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(utf8::is_valid(bad)) << bad;
  }
}

}  // namespace
