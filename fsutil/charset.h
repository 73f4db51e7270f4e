// The system's charsets and the one conversion between them and UTF-8.
//
// On POSIX systems every charset below is the locale's (an ASCII locale, the
// C/POSIX one, counts as UTF-8: see thread_locale.h), except that names
// stored in an archive without a charset are taken as their bytes and
// passwords are keyed with the bytes given. On Windows names are UTF-8 (the
// native layer widens them to UTF-16 for the system); the narrow charset,
// archives' legacy names and password keys are the ANSI code page.
#pragma once

#include <memory>
#include <string>

namespace fsutil {

enum class Charset {
  names,         // paths and names on disk
  narrow,        // the system's 8-bit text
  legacy_names,  // entry names stored without the UTF-8 flag
  passwords,     // the bytes a password is keyed with
};

enum class Direction { from_utf8, to_utf8 };

// exact: a byte the source charset cannot decode, or a character the target
// lacks, fails the conversion. lossy: never fails; an undecodable byte becomes
// '?', a missing character a best fit or '?'.
enum class Fidelity { exact, lossy };

// Converts text between UTF-8 and `charset`; one converter may convert many
// texts (the charset is the calling thread's when it is made).
class CharsetConverter {
 public:
  CharsetConverter(Charset charset, Direction direction, Fidelity fidelity);
  ~CharsetConverter();
  CharsetConverter(const CharsetConverter&) = delete;
  CharsetConverter& operator=(const CharsetConverter&) = delete;

  // Whether the charset is UTF-8 here: text passes through as it is.
  bool passes_through() const { return !state_; }
  // `text` in the target charset; false only when exact and it has no form
  // there (`out` is then unspecified).
  bool convert(const std::string& text, std::string* out) const;

  struct State;  // the platform's converter

 private:
  const Direction direction_;
  const Fidelity fidelity_;
  std::unique_ptr<State> state_;  // null when text passes through
};

}  // namespace fsutil
