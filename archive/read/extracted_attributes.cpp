#include "archive/read/extracted_attributes.h"

#include "archive/unix_mode.h"
#include "fsutil/file_status.h"

namespace {

constexpr uint32_t kNewFilePermissions = 0666;

// The execute bits an entry gives back: a regular file's (or one of a writer
// that leaves the type out), never a link's, which is extracted as a file
// holding the link's text.
uint32_t execute_bits(const EntryInfo& entry) {
  const uint32_t type = entry.unix_mode & unix_mode::kTypeBits;
  const bool regular = type == unix_mode::kRegularFile || type == 0;
  return regular ? entry.unix_mode & unix_mode::kExecuteBits : 0;
}

}  // namespace

void ExtractedAttributes::read_umask() {
  allowed_ = fsutil::permissions_the_umask_allows();
  umask_read_ = true;
}

void ExtractedAttributes::restore(const fsutil::File& file, const EntryInfo& entry) {
  // A device unzip_file was pointed at (/dev/null) is the system's: its mode
  // and time stay.
  if (!fsutil::is_regular_file(file.fd())) return;
  if (entry.made_on_unix) {
    if (!umask_read_) read_umask();
    const uint32_t permissions = kNewFilePermissions | execute_bits(entry);
    fsutil::set_permissions(file.fd(), permissions & allowed_);
  }
  fsutil::set_modification_time(file.fd(), entry.mtime);
}
