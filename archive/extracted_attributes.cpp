#include "archive/extracted_attributes.h"

#include "fsutil/file_status.h"

namespace {

constexpr uint32_t kNewFilePermissions = 0666;
constexpr uint32_t kExecuteBits = 0111;

}  // namespace

void ExtractedAttributes::restore(const fsutil::File& file, const zip_engine::EntryInfo& entry) {
  if (entry.made_on_unix) {
    if (!umask_read_) allowed_ = fsutil::permissions_the_umask_allows();
    umask_read_ = true;
    const uint32_t permissions = kNewFilePermissions | (entry.permissions & kExecuteBits);
    fsutil::set_permissions(file.fd(), permissions & allowed_);
  }
  fsutil::set_modification_time(file.fd(), entry.mtime);
}
