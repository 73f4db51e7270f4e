// Changing an existing archive: a new archive made of entries of the old one
// and of a second archive that holds the entries added meanwhile, each
// copied as it stands (local header, data, data descriptor, central record;
// never decoded, so an encrypted entry needs no password), some under a new
// name. It is written beside the old one and renamed over it only once it is
// whole and on the disk: the path always holds the old archive or the new
// one, whole.
//
// Nothing here calls into Ruby; apply() is noexcept and answers through its
// result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/failures.h"
#include "archive/progress.h"

namespace archive_update {

// One entry of the new archive: the entry at `position` (in archive order)
// of the old archive, or of the archive of added entries; under `name`
// (UTF-8) when `renamed`.
struct PlannedEntry {
  bool added = false;
  size_t position = 0;
  bool renamed = false;
  std::string name;
};

struct Plan {
  std::string path;        // the archive changed (native)
  size_t entries = 0;      // the entries it held when the plan was made
  std::string fingerprint;  // its fingerprint() then, taken before it was read
  std::string added_path;  // the archive of the entries added (native), or empty
  std::vector<PlannedEntry> entries_kept;  // the new archive's, in its order
  bool comment_changed = false;
  std::string comment;  // UTF-8: the new archive's when changed, else the old one's stays
};

// What tells the file at `path` from another put there or written over it
// later (its identity and size), as ASCII text; empty when it cannot be opened.
std::string fingerprint(const std::string& path) noexcept;

// Writes the new archive and puts it in place of the old one. False, with
// `*reason` and `*kind`, when it cannot or `progress` asks it to stop: the
// old archive is then as it was and nothing else is left behind. Bytes
// before the old archive's first entry (a self-extractor's program) begin
// the new one.
bool apply(const Plan& plan, Progress& progress, std::string* reason,
           failures::Kind* kind) noexcept;

// The records of an entry under the stored name `name`: its local header
// (`*local`, whole) and central record (`*record`) name it, its Unicode Path
// field, which would name it otherwise, is dropped, and the UTF-8 flag is
// set where `name` needs it. False when a record is damaged.
bool rename_records(const std::string& name, std::string* local, std::string* record);

}  // namespace archive_update
