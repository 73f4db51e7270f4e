// The matching follows Ruby's own (dir.c) step by step, as C strings: the
// braces are expanded first (once, not for every path); then each pattern
// they give is matched one folder level at a time, '**/' letting the rest of
// the pattern start again at each deeper level.
#include "archive/write/path_pattern.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace path_pattern {

namespace {

// The length of the UTF-8 character at `p`, or 0 when no whole character
// begins there before `end`.
size_t char_length(const char* p, const char* end) {
  const auto lead = static_cast<unsigned char>(*p);
  const size_t length = lead < 0x80                  ? 1
                        : lead >= 0xC2 && lead < 0xE0 ? 2
                        : lead >= 0xE0 && lead < 0xF0 ? 3
                        : lead >= 0xF0 && lead < 0xF5 ? 4
                                                      : 0;
  if (length == 0 || static_cast<size_t>(end - p) < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// How far to step over the character at `p`: a byte that begins none is
// stepped over alone.
size_t step(const char* p, const char* end) {
  const size_t length = char_length(p, end);
  return length ? length : 1;
}

uint32_t code_point(const char* p, const char* end) {
  const size_t length = char_length(p, end);
  const auto byte = [p](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(p[i]));
  };
  if (length <= 1) return byte(0);
  uint32_t point = byte(0) & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) point = point << 6 | (byte(i) & 0x3F);
  return point;
}

// A folder level ends at the string's end or at a '/'.
bool is_level_end(const char* p) { return !*p || *p == '/'; }

const char* unescaped(const char* p) { return *p == '\\' ? p + 1 : p; }

// Matches the character at `s` against the set whose text starts at `p`
// (after its '['); answers where the pattern goes on after the set's ']',
// or null when the character is not in the set (or the set never ends).
const char* match_set(const char* p, const char* pend, const char* s, const char* send) {
  if (p >= pend) return nullptr;
  bool negated = false;
  if (*p == '!' || *p == '^') {
    negated = true;
    ++p;
  }
  const auto starts_with = [s, send](const char* c, size_t length) {
    return length <= static_cast<size_t>(send - s) && std::memcmp(c, s, length) == 0;
  };
  bool found = false;
  while (*p != ']') {
    const char* first = unescaped(p);
    if (!*first) return nullptr;
    const size_t first_length = step(first, pend);
    p = first + first_length;
    if (p >= pend) return nullptr;
    if (p[0] == '-' && p[1] != ']') {
      const char* last = unescaped(p + 1);
      if (!*last) return nullptr;
      const size_t last_length = step(last, pend);
      p = last + last_length;
      if (found) continue;
      const uint32_t c = code_point(s, send);
      found = starts_with(first, first_length) || starts_with(last, last_length) ||
              (code_point(first, pend) <= c && c <= code_point(last, pend));
    } else if (!found) {
      found = starts_with(first, first_length);
    }
  }
  return found == negated ? nullptr : p + 1;
}

// Matches one folder level of the pattern at `*pattern` against the path at
// `*path`, leaving both where the matching stopped.
bool match_level(const char** pattern, const char** path, bool dot_match) {
  const char* p = *pattern;
  const char* const pend = p + std::strlen(p);
  const char* s = *path;
  const char* const send = s + std::strlen(s);
  // Where the last '*' went on from, in the pattern and the path.
  const char* star_p = nullptr;
  const char* star_s = nullptr;
  const auto answer = [&](bool matched) {
    *pattern = p;
    *path = s;
    return matched;
  };

  if (!dot_match && *s == '.' && *unescaped(p) != '.') return answer(false);
  for (;;) {
    bool failed = false;
    if (*p == '*') {
      do ++p; while (*p == '*');
      if (is_level_end(unescaped(p))) {
        p = unescaped(p);
        return answer(true);
      }
      if (is_level_end(s)) return answer(false);
      star_p = p;
      star_s = s;
      continue;
    }
    if (*p == '?') {
      if (is_level_end(s)) return answer(false);
      ++p;
      s += step(s, send);
      continue;
    }
    if (*p == '[') {
      if (is_level_end(s)) return answer(false);
      if (const char* after = match_set(p + 1, pend, s, send)) {
        p = after;
        s += step(s, send);
        continue;
      }
      failed = true;
    }
    if (!failed) {
      p = unescaped(p);
      if (is_level_end(s)) return answer(is_level_end(p));
      const size_t length = is_level_end(p) ? 0 : char_length(p, pend);
      if (length > 0 && length <= static_cast<size_t>(send - s) && std::memcmp(p, s, length) == 0) {
        p += length;
        s += length;
        continue;
      }
    }
    // The last '*' takes one more character.
    if (!star_p) return answer(false);
    p = star_p;
    star_s += step(star_s, send);
    s = star_s;
  }
}

bool match_path(const char* pattern, const char* path, bool dot_match) {
  const char* p = pattern;
  const char* s = path;
  const char* const send = s + std::strlen(s);
  // Where the last '**/' went on from, in the pattern and the path.
  const char* deep_p = nullptr;
  const char* deep_s = nullptr;
  for (;;) {
    if (p[0] == '*' && p[1] == '*' && p[2] == '/') {
      do p += 3; while (p[0] == '*' && p[1] == '*' && p[2] == '/');
      deep_p = p;
      deep_s = s;
    }
    if (match_level(&p, &s, dot_match)) {
      while (*s && *s != '/') s += step(s, send);
      if (*p && *s) {
        ++p;
        ++s;
        continue;
      }
      if (!*p && !*s) return true;
    }
    // The last '**/' takes one more folder level, unless a hidden one.
    if (deep_p && !(!dot_match && *deep_s == '.')) {
      while (*deep_s && *deep_s != '/') deep_s += step(deep_s, send);
      if (*deep_s) {
        p = deep_p;
        s = ++deep_s;
        continue;
      }
    }
    return false;
  }
}

// Where the first group of braces at the top level of `pattern` opens and
// closes: `*open` null when there is none, `*close` null when it never
// closes (the pattern then matches nothing).
void find_group(const std::string& pattern, const char** open, const char** close) {
  const char* const end = pattern.c_str() + pattern.size();
  *open = *close = nullptr;
  int depth = 0;
  for (const char* p = pattern.c_str(); *p; p += step(p, end)) {
    if (*p == '{' && depth++ == 0) *open = p;
    if (*p == '}' && *open && --depth == 0) {
      *close = p;
      return;
    }
    if (*p == '\\' && !*++p) return;
  }
}

// Adds each alternative of the group from `open` to `close` to `pending`,
// with what is before and after the group around it, and counts the memory
// they take in `*made`; false once that passes the bound.
bool add_group_expansions(const std::string& pattern, const char* open, const char* close,
                          std::vector<std::string>* pending, size_t* made) {
  const char* const end = pattern.c_str() + pattern.size();
  const size_t before = static_cast<size_t>(open - pattern.c_str());
  const char* const after = close + 1;
  const size_t after_size = static_cast<size_t>(end - after);
  for (const char* p = open; p < close;) {
    const char* alternative = ++p;
    int depth = 0;
    while (p < close && !(*p == ',' && depth == 0)) {
      if (*p == '{') ++depth;
      if (*p == '}') --depth;
      if (*p == '\\' && ++p == close) break;
      p += step(p, end);
    }
    const size_t size = before + static_cast<size_t>(p - alternative) + after_size;
    *made += sizeof(std::string) + size;
    if (*made > kMaxExpansionBytes) return false;
    std::string expansion;
    expansion.reserve(size);
    expansion.append(pattern.c_str(), before).append(alternative, p).append(after, after_size);
    pending->push_back(std::move(expansion));
  }
  return true;
}

}  // namespace

bool expand(const std::string& pattern, std::vector<std::string>* alternatives, std::string* why) {
  alternatives->clear();
  // One group expanded at a time, as Ruby does; each string made on the way
  // counts, so that neither many groups nor deeply nested ones take long.
  std::vector<std::string> pending{pattern};
  size_t made = 0;
  bool refused = false;
  while (!pending.empty() && !refused) {
    std::string current = std::move(pending.back());
    pending.pop_back();
    const char* open = nullptr;
    const char* close = nullptr;
    find_group(current, &open, &close);
    if (!open) {
      refused = alternatives->size() == kMaxAlternatives;
      if (!refused) alternatives->push_back(std::move(current));
    } else if (close) {
      refused = !add_group_expansions(current, open, close, &pending, &made);
    }
  }
  if (!refused) return true;
  alternatives->clear();
  *why = "its braces expand to more than " + std::to_string(kMaxAlternatives) +
         " patterns, or to more than " + std::to_string(kMaxExpansionBytes >> 20) + " MiB of them";
  return false;
}

bool matches_any(const std::vector<std::string>& alternatives, const std::string& path,
                 bool dot_match) {
  return std::any_of(alternatives.begin(), alternatives.end(), [&](const std::string& alternative) {
    return match_path(alternative.c_str(), path.c_str(), dot_match);
  });
}

bool matches(const std::string& pattern, const std::string& path, bool dot_match) {
  std::vector<std::string> alternatives;
  std::string why;
  return expand(pattern, &alternatives, &why) && matches_any(alternatives, path, dot_match);
}

}  // namespace path_pattern
