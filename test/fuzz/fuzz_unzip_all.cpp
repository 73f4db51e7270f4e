// Loads the input as an archive and extracts everything, once without a
// password and once with the one the encrypted seeds use, then once more into
// the same folder (extraction over existing files).
#include <cstddef>
#include <cstdint>

#include "archive/native_archive.h"
#include "test/fuzz/scratch_jail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ScratchJail& jail = fuzz::jail();
  jail.prepare(data, size);
  {
    NativeArchive archive;
    if (archive.load(jail.archive().c_str(), "")) archive.unzip_all(jail.scratch() + "/plain");
    if (archive.load(jail.archive().c_str(), "secret")) {
      archive.unzip_all(jail.scratch() + "/password");
      archive.unzip_all(jail.scratch() + "/password");
    }
  }
  jail.check_and_clear();
  return 0;
}
