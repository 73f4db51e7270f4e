// Loads the input as an archive and extracts single entries by name: every
// name the archive holds (as libarchive lists it), the same name with other
// letter case and separators, a folder name without its '/', and a name that
// is not there; in archive order, then in reverse, so entries are found both
// forwards and by starting over.
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/read/archive_reader.h"
#include "test/fuzz/scratch_jail.h"

namespace {

constexpr size_t kMaxNames = 8;

std::vector<std::string> stored_names(const uint8_t* data, size_t size) {
  std::vector<std::string> names;
  archive* a = archive_read_new();
  archive_read_support_format_zip_seekable(a);
  if (archive_read_open_memory(a, data, size) == ARCHIVE_OK) {
    archive_entry* entry;
    while (names.size() < kMaxNames && archive_read_next_header(a, &entry) == ARCHIVE_OK) {
      const char* name = archive_entry_pathname(entry);
      if (name) names.push_back(name);
    }
  }
  archive_read_free(a);
  return names;
}

std::string variant(std::string name) {
  for (char& c : name) {
    if (c == '/') c = '\\';
    else if (c == '\\') c = '/';
    else c = static_cast<char>(std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c));
  }
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchJail& jail = fuzz::jail();
  jail.prepare(data, size);

  std::vector<std::string> names = stored_names(data, size);
  const size_t stored = names.size();
  for (size_t i = 0; i < stored; ++i) {
    names.push_back(variant(names[i]));
    if (!names[i].empty() && names[i].back() == '/') names.push_back(names[i].substr(0, names[i].size() - 1));
  }
  names.push_back("not/in/the/archive");

  {
    std::string reason;
    failures::Kind kind;
    Progress unwatched;
    int target = 0;
    std::unique_ptr<ArchiveReader> archive;
    const auto extract = [&](const std::string& name) {
      archive->unzip_file(name, jail.scratch() + "/" + std::to_string(target++) + "/sub/out",
                          unwatched);
    };
    archive = ArchiveReader::load(jail.archive(), "secret", "", &reason, &kind);
    if (archive) {
      std::for_each(names.begin(), names.end(), extract);
      std::for_each(names.rbegin(), names.rend(), extract);
    }
    archive = ArchiveReader::load(jail.archive(), "", "", &reason, &kind);
    if (stored > 0 && archive) extract(names[0]);
  }
  jail.check_and_clear();
  return 0;
}
