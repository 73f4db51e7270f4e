// What an extracted file gets besides its data once it is written whole: the
// entry's modification time and, for an entry made on Unix, its execute bits
// (never setuid, setgid or sticky), the rest as any new file gets them (0666),
// all under the process's umask. Entries made elsewhere keep what a new file
// gets. Where the system refuses a time or a mode, the file is still
// extracted: its data is what counts. Only regular files get either.
#pragma once

#include <cstdint>

#include "archive/read/central_directory.h"
#include "fsutil/file.h"

class ExtractedAttributes {
 public:
  // Reads the umask now rather than at the first entry made on Unix, so
  // that restore() may then run on several threads at once.
  void read_umask();
  void restore(const fsutil::File& file, const EntryInfo& entry);

 private:
  // The umask is read once per operation.
  bool umask_read_ = false;
  uint32_t allowed_ = 0;
};
