// Changes the input as an archive: its entries kept, renamed (to names that
// need the UTF-8 flag) or deleted as bits of its CRC choose, then kept with
// the input's entries added after them and a new comment. Whatever the
// input, an update either leaves the archive as it was (and nothing beside
// it) or answers with one whose directory reads back, every entry's local
// header agreeing with its record, in the planned order and names. Every
// central record, and the input itself as one, is also relocated to offsets
// around 4 GiB, and what relocated_record answers must read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/read/archive_bytes.h"
#include "archive/read/central_directory.h"
#include "archive/update/archive_update.h"
#include "archive/write/zip_writer.h"
#include "archive/zip_format.h"
#include "test/fuzz/scratch_jail.h"

namespace {

using namespace zip_format;

std::string contents_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) fuzz::fail("writing " + path);
}

std::unique_ptr<CentralDirectory> directory_of(const ArchiveBytes& bytes) {
  DirectoryLocation location;
  std::string reason;
  failures::Kind kind;
  if (!CentralDirectory::locate(bytes, &location, &reason, &kind)) return nullptr;
  return CentralDirectory::read(bytes, location, &reason, &kind);
}

// A relocated record reads back: its lengths add up, its ZIP64 field holds
// a value for each field the record left to it, the offset among them.
void check_relocated(const std::string& record, uint64_t offset) {
  if (record.size() < kCentralRecordSize || !has_signature(record.data(), kCentralRecordSignature)) {
    fuzz::fail("relocated record lost its signature");
  }
  const size_t name = le16(&record[28]), extra = le16(&record[30]), comment = le16(&record[32]);
  if (kCentralRecordSize + name + extra + comment != record.size()) {
    fuzz::fail("relocated record's lengths do not add up");
  }
  if (le16(&record[34]) != 0) fuzz::fail("relocated record names a disk");
  size_t values = 0;
  for (size_t at : {24, 20, 42}) values += le32(&record[at]) == kMax32 ? 8 : 0;
  std::string field;
  const bool found = find_extra_field(record.substr(kCentralRecordSize + name, extra), kZip64Field, &field);
  if (values == 0 ? found : !found || field.size() != values) fuzz::fail("relocated record's ZIP64 field");
  const uint64_t stored = le32(&record[42]) == kMax32 ? le64(&field[values - 8]) : le32(&record[42]);
  if (stored != offset) fuzz::fail("relocated record lost its offset");
}

void relocate(const std::string& record) {
  for (uint64_t offset : {uint64_t{0}, uint64_t{kMax32} - 1, uint64_t{kMax32}, uint64_t{1} << 32,
                          uint64_t{1} << 40}) {
    std::string relocated;
    if (zip_writer::relocated_record(record, offset, &relocated)) check_relocated(relocated, offset);
  }
}

// Runs the plan on a copy of the input; checks either outcome.
void update(const fuzz::ScratchJail& jail, const std::string& input, archive_update::Plan plan) {
  const std::string path = jail.scratch() + "/a.zip";
  write_file(path, input);
  plan.path = path;
  plan.fingerprint = archive_update::fingerprint(path);
  Progress unwatched;
  std::string reason;
  failures::Kind kind;
  const bool done = archive_update::apply(plan, unwatched, &reason, &kind);
  if (fuzz::items_of(jail.scratch()) != std::set<std::string>{"a.zip"}) fuzz::fail("left beside the archive");
  const std::string after = contents_of(path);
  if (!done) {
    if (after != input) fuzz::fail("a failed update changed the archive: " + reason);
    return;
  }
  const MemoryBytes bytes(after.data(), after.size());
  std::unique_ptr<CentralDirectory> directory = directory_of(bytes);
  if (!directory) fuzz::fail("the updated archive cannot be read");
  if (directory->entries().size() != plan.entries_kept.size()) fuzz::fail("entries lost or gained");
  for (size_t i = 0; i < plan.entries_kept.size(); ++i) {
    const DirectoryEntry& entry = directory->entries()[i];
    EntrySpan span;
    if (!CentralDirectory::locate_entry(bytes, entry, &span, &reason)) {
      fuzz::fail("an updated entry cannot be located: " + reason);
    }
    if (plan.entries_kept[i].renamed && entry.stored_name != plan.entries_kept[i].name) {
      fuzz::fail("a renamed entry lost its name");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchJail& jail = fuzz::jail();
  jail.prepare(data, size);
  const std::string input(reinterpret_cast<const char*>(data), size);
  relocate(input);

  const MemoryBytes bytes(input.data(), input.size());
  std::unique_ptr<CentralDirectory> directory = directory_of(bytes);
  const size_t count = directory ? directory->entries().size() : 0;
  for (size_t i = 0; directory && i < count; ++i) {
    const DirectoryEntry& entry = directory->entries()[i];
    if (entry.record_at >= 0 && entry.record_size <= input.size() &&
        static_cast<uint64_t>(entry.record_at) <= input.size() - entry.record_size) {
      relocate(input.substr(entry.record_at, entry.record_size));
    }
  }

  const uint32_t choices = crc32(input);
  archive_update::Plan changed, added;
  changed.entries = added.entries = count;
  for (size_t i = 0; i < count; ++i) {
    archive_update::PlannedEntry planned;
    planned.position = i;
    added.entries_kept.push_back(planned);
    const uint32_t choice = (choices >> (2 * (i % 16))) & 3;
    if (choice == 2) continue;
    planned.renamed = choice == 1;
    if (planned.renamed) planned.name = "renamed/\xC3\xA9" + std::to_string(i);
    changed.entries_kept.push_back(planned);
  }
  for (size_t i = 0; i < count; ++i) {
    archive_update::PlannedEntry planned;
    planned.added = true;
    planned.position = i;
    added.entries_kept.push_back(planned);
  }
  added.added_path = jail.archive();
  added.comment_changed = true;
  added.comment = "changed";

  update(jail, input, changed);
  update(jail, input, added);
  jail.check_and_clear();
  return 0;
}
