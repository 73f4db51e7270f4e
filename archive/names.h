// Every form of an entry name, a path and a password, and the conversions
// between them. The charsets themselves are the platform's: fsutil/charset.h.
//
// Entry names are UTF-8 throughout: stored so by the writer (separated by
// '/'), held so by the reader, given and reported so to Ruby. A name read
// from an archive is text: UTF-8 for a name stored as UTF-8 (see
// choose_name), and for a legacy name (unflagged, not UTF-8) its bytes as
// stored on Linux, its ANSI code page text converted to UTF-8 on Windows.
// Lookups, listings and progress reports use that text; only the extraction
// of a whole archive turns it into a native name.
//
// Paths (and names found on disk) are native: on Linux in the process
// locale's charset, which is how the file system takes them there; on Windows
// UTF-8, which the native layer widens to UTF-16 for the system. On Linux an
// ASCII charset (the C/POSIX locale) counts as UTF-8.
//
// Passwords arrive as UTF-8 (or bytes) and are never changed: see
// password_key.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace fsutil {
class CharsetConverter;
}

namespace names {

// ---- names the writer stores ----------------------------------------------

// The most bytes a stored name can have: its length field holds 16 bits.
constexpr size_t kMaxStoredSize = 0xFFFF;

// The stored form of a name given for an entry (UTF-8): the name itself, but
// on Windows, where '\' separates folders as '/' does, with '/' in its place.
std::string from_given(const std::string& utf8);
// The stored form of a native name (an item found in a folder walk: in the
// locale's charset on POSIX systems, UTF-8 on Windows); false when the name
// has no UTF-8 form.
bool stored_form(const std::string& native, std::string* stored);
// A native name or path as failure reasons (which are UTF-8) show it: its
// UTF-8 form, or its bytes when it has none.
std::string shown(const std::string& native);

// Why `stored` cannot be the name of an entry (a folder's ends in '/'), in
// a reason naming it; empty when it can. Refused: an empty name, one longer
// than kMaxStoredSize, one holding NUL or bytes that are not UTF-8, an
// absolute one ('/x', '\x', 'C:x'), one with a '..' component, one whose last
// component is '.' ('.', 'a/.', 'a/./'), and a file's name ending in a
// separator (every reader takes it for a folder).
std::string refusal(const std::string& stored, bool folder);

// ---- names the reader holds -----------------------------------------------

// A UTF-8 name as text; false when it is not valid UTF-8.
bool text_of_utf8(const std::string& utf8, std::string* text);
// A name in the legacy charset of unflagged names as text; false when it
// cannot be converted.
bool text_of_legacy(const std::string& stored, std::string* text);
// A comment (an entry's or the archive's) as text: its bytes when they are
// UTF-8, else converted from the legacy charset as names are, with '?' for a
// byte that has no form there (a comment names nothing).
std::string text_of_comment(const std::string& stored);

// ---- paths and text at the Ruby boundary ----------------------------------

// UTF-8 (up to the first NUL) to a path for the native layer.
std::string utf8_to_native_name(const char* text);
// A path from the native layer to UTF-8.
std::string native_name_to_utf8(const char* text);

// UTF-8 (up to the first NUL) to the narrow charset (the locale's on Linux,
// the ANSI code page on Windows). Characters the charset lacks become a best
// fit or '?'; invalid UTF-8 never fails.
std::string utf8_to_ansi(const char* text);
// The narrow charset (up to the first NUL) to UTF-8.
std::string ansi_to_utf8(const char* text);

// Replaces every `from` in `text` by `to`.
void replace_char(std::string& text, char from, char to);

// ---- passwords --------------------------------------------------------------

// The key material of a password given as UTF-8 (or bytes that are not):
// on Linux those bytes, which is what 7-Zip, bsdtar and Python take; on
// Windows its ANSI code page bytes where they spell it exactly (what
// archives made there have always used), else those bytes. Never a
// substitute character.
std::string password_key(const std::string& utf8);
// Another key reading also tries, or empty: on Windows the UTF-8 bytes where
// the key is the ANSI form; on Linux the locale's bytes where they spell the
// password exactly and differ (earlier versions keyed with them).
std::string password_alternative(const std::string& utf8);

}  // namespace names

// Converts names as text to the native form file system paths take, for
// the extraction of a whole archive: the charset is the one of the thread
// that extracts, which is the process locale's (Parvox never changes it).
class NativeNames {
 public:
  NativeNames();
  ~NativeNames();
  NativeNames(const NativeNames&) = delete;
  NativeNames& operator=(const NativeNames&) = delete;

  // The native form of the name `text` (stored as UTF-8 when `is_utf8`, else
  // a legacy name, which keeps its form); false when the native charset
  // cannot hold it: never a substitute that could name another file.
  bool native_form(const std::string& text, bool is_utf8, std::string* native) const;

 private:
  std::unique_ptr<fsutil::CharsetConverter> to_native_;
};
