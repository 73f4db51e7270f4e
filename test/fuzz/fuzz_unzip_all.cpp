// Loads the input as an archive and extracts everything, once without a
// password and once with the one the encrypted seeds use, then once more into
// the same folder (extraction over existing files).
#include <cstddef>
#include <cstdint>

#include "archive/read/archive_reader.h"
#include "test/fuzz/scratch_jail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchJail& jail = fuzz::jail();
  jail.prepare(data, size);
  {
    std::string reason;
    failures::Kind kind;
    Progress unwatched;
    if (auto plain = ArchiveReader::load(jail.archive(), "", "", &reason, &kind)) {
      plain->unzip_all(jail.scratch() + "/plain", unwatched);
    }
    if (auto keyed = ArchiveReader::load(jail.archive(), "secret", "", &reason, &kind)) {
      keyed->unzip_all(jail.scratch() + "/password", unwatched);
      keyed->unzip_all(jail.scratch() + "/password", unwatched);
    }
  }
  jail.check_and_clear();
  return 0;
}
