// Expands an exclude pattern from the input and matches it against a path
// (the input's second line, else one with a hidden level), with and without
// dot matching: whatever the pattern, nothing is read outside the two and
// the work stays within path_pattern's bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/write/path_pattern.h"

namespace {

// add_file refuses a pattern or path holding NUL before any matching.
std::string up_to_nul(const std::string& text) { return text.substr(0, text.find('\0')); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t line_end = input.find('\n');
  const std::string pattern = up_to_nul(input.substr(0, line_end));
  const std::string path =
      line_end == std::string::npos ? "a/.b/c{d}.txt" : up_to_nul(input.substr(line_end + 1));
  std::vector<std::string> alternatives;
  std::string why;
  if (!path_pattern::expand(pattern, &alternatives, &why)) return 0;
  if (alternatives.size() > path_pattern::kMaxAlternatives) std::abort();
  for (bool dot_match : {false, true}) path_pattern::matches_any(alternatives, path, dot_match);
  return 0;
}
