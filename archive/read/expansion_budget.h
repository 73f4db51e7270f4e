// ExpansionBudget: bounds how much one loaded archive may write in total.
//
// Deflate cannot expand data by more than 1,032 to 1 (a 258-byte match coded
// in two bits at best), and stored data not at all. So the entries of an
// archive whose entries each own their compressed bytes can never produce more
// than 1,032 times the archive's size between them. An archive that does must
// reuse compressed bytes for several entries: an overlapping-entry zip bomb.
//
// Each entry is charged once, by its position in the archive, with its
// declared size, before anything is written for it (it is never let produce
// more); extracting an entry again costs nothing more. Other methods (bzip2, LZMA, xz) are held to
// the same bound, legitimate ratios of theirs beyond it included: any bound
// loose enough for them would let a bomb built from them fill a disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ExpansionBudget {
 public:
  static constexpr int64_t kMaxRatio = 1032;

  // Starts over for an archive of `archive_size` bytes.
  void reset(int64_t archive_size);
  // Whether entry `entry` may produce `bytes` in all; when it may, the entry
  // is charged with at least that much.
  bool admits(size_t entry, int64_t bytes);

 private:
  int64_t limit_ = 0;
  int64_t charged_total_ = 0;
  std::vector<int64_t> charged_;  // by entry position
};
