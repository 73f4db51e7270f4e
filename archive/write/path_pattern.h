// Shell patterns over paths beneath a folder, as add_file's `exclude` takes
// them: the answers of Ruby's File.fnmatch with File::FNM_PATHNAME and
// File::FNM_EXTGLOB (and File::FNM_DOTMATCH where asked), so that a pattern
// leaves out on disk exactly what it matches in Ruby.
//
//   *       any run of characters within one folder level (no '/')
//   ?       one character, not '/'
//   [a-z]   one character of a set: ranges of code points, '!' or '^' first
//           negates; '\' escapes inside it too
//   \x      the character x itself
//   **/     zero or more whole folder levels
//   {a,b}   either alternative (nested braces too); a '{' without its '}'
//           matches nothing
//
// Without dot matching, '*', '?', '[...]' and '**/' never match the '.' a
// folder level begins with (".git", "a/.env"); a pattern's own '.' does.
// Paths and patterns are UTF-8: characters, not bytes, are matched.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace path_pattern {

// Braces may give at most this many patterns, and take at most this much
// memory to expand: a pattern beyond (`{a,b}` twenty times over, braces nested
// thousands deep) would hold up every walk it is given to, and is refused.
constexpr size_t kMaxAlternatives = 1024;
constexpr size_t kMaxExpansionBytes = 4 << 20;

// The patterns without braces that `pattern` stands for (none where a '{'
// has no '}'); false, with `*why`, for a pattern refused as above.
bool expand(const std::string& pattern, std::vector<std::string>* alternatives, std::string* why);
// Whether `path` (folders separated by '/', no leading '/') matches any of
// the `alternatives` of a pattern.
bool matches_any(const std::vector<std::string>& alternatives, const std::string& path,
                 bool dot_match);
// Whether `path` matches `pattern`; false for a pattern refused.
bool matches(const std::string& pattern, const std::string& path, bool dot_match);

}  // namespace path_pattern
