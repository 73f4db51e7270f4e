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

#include <string>

namespace path_pattern {

// Whether `path` (folders separated by '/', no leading '/') matches `pattern`.
bool matches(const std::string& pattern, const std::string& path, bool dot_match);

}  // namespace path_pattern
