#include "archive/names.h"

#include <algorithm>

#include "archive/failures.h"
#include "archive/utf8.h"
#include "fsutil/charset.h"
#include "fsutil/file.h"
#include "fsutil/thread_locale.h"

using fsutil::Charset;
using fsutil::CharsetConverter;
using fsutil::Direction;
using fsutil::Fidelity;

namespace names {

namespace {

// The rules every stored name follows, on every platform. Readers take '\'
// for a separator as well as '/', so both count as one here.

// Reasons show at most this many bytes of a name.
constexpr size_t kShownBytes = 80;

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_absolute(const std::string& name) {
  return is_separator(name[0]) || (name.size() >= 2 && is_ascii_letter(name[0]) && name[1] == ':');
}

bool has_parent_component(const std::string& name) {
  size_t start = 0;
  for (size_t at = 0; at <= name.size(); ++at) {
    if (at < name.size() && !is_separator(name[at])) continue;
    if (name.compare(start, at - start, "..") == 0) return true;
    start = at + 1;
  }
  return false;
}

// "." as the last component (a folder's trailing separator aside) names the
// folder that holds the entry, not an entry of its own; elsewhere readers
// pass over it ("./a" is "a").
bool ends_in_dot_component(const std::string& name) {
  size_t end = name.size();
  while (end > 0 && is_separator(name[end - 1])) --end;
  return end > 0 && name[end - 1] == '.' && (end == 1 || is_separator(name[end - 2]));
}

// The name as a reason shows it: NUL as "\0", cut after kShownBytes (at
// the start of a character).
std::string shown_name(const std::string& name) {
  std::string shown;
  for (size_t at = 0; at < name.size(); ++at) {
    const bool starts_character = (static_cast<unsigned char>(name[at]) & 0xC0) != 0x80;
    if (shown.size() >= kShownBytes && starts_character) return failures::quoted(shown + "...");
    if (name[at] == '\0') {
      shown += "\\0";
    } else {
      shown += name[at];
    }
  }
  return failures::quoted(shown);
}

}  // namespace

std::string refusal(const std::string& stored, bool folder) {
  const char* why = nullptr;
  if (stored.empty()) {
    why = "it is empty";
  } else if (stored.find('\0') != std::string::npos) {
    why = "it holds a NUL byte";
  } else if (!utf8::is_valid(stored)) {
    why = "it is not valid UTF-8";
  } else if (stored.size() > kMaxStoredSize) {
    why = "it is longer than 65,535 bytes";
  } else if (is_absolute(stored)) {
    why = "it is an absolute path";
  } else if (has_parent_component(stored)) {
    why = "it has a '..' component";
  } else if (ends_in_dot_component(stored)) {
    why = "it ends in a '.' component, which names the folder that holds it";
  } else if (!folder && is_separator(stored.back())) {
    why = "it ends in a separator, which makes it a folder's name";
  }
  if (!why) return std::string();
  return shown_name(stored) + " cannot be an entry name: " + why;
}

// Names found on disk are in the locale's charset on POSIX systems (UTF-8 in
// the C locale, see Utf8NamesOnThisThread), UTF-8 on Windows; the stored
// form is UTF-8, strictly: a name with any byte the charset cannot decode has
// none.
bool stored_form(const std::string& native, std::string* stored) {
  const std::string given = from_given(native);
  if (utf8::is_ascii(given)) {
    *stored = given;
    return true;
  }
  fsutil::Utf8NamesOnThisThread utf8_names;
  return CharsetConverter(Charset::names, Direction::to_utf8, Fidelity::exact)
             .convert(given, stored) &&
         utf8::is_valid(*stored);
}

std::string from_given(const std::string& utf8) {
  std::string stored = utf8;
  std::replace(stored.begin(), stored.end(), fsutil::kPathSeparator, '/');
  return stored;
}

std::string shown(const std::string& native) {
  if (utf8::is_ascii(native)) return native;
  fsutil::Utf8NamesOnThisThread utf8_names;
  std::string utf8;
  const bool converted =
      CharsetConverter(Charset::names, Direction::to_utf8, Fidelity::exact).convert(native, &utf8);
  return converted && utf8::is_valid(utf8) ? utf8 : native;
}

bool text_of_utf8(const std::string& utf8, std::string* text) {
  text->clear();
  if (!utf8::is_valid(utf8)) return false;
  *text = utf8;
  return true;
}

bool text_of_legacy(const std::string& stored, std::string* text) {
  return CharsetConverter(Charset::legacy_names, Direction::to_utf8, Fidelity::exact)
      .convert(stored, text);
}

std::string text_of_comment(const std::string& stored) {
  if (utf8::is_valid(stored)) return stored;
  std::string text;
  CharsetConverter(Charset::legacy_names, Direction::to_utf8, Fidelity::lossy).convert(stored, &text);
  return text;
}

namespace {

std::string convert_lossily(const char* text, Charset charset, Direction direction) {
  std::string out;
  CharsetConverter(charset, direction, Fidelity::lossy).convert(text, &out);
  return out;
}

}  // namespace

std::string utf8_to_native_name(const char* text) {
  return convert_lossily(text, Charset::names, Direction::from_utf8);
}

std::string native_name_to_utf8(const char* text) {
  return convert_lossily(text, Charset::names, Direction::to_utf8);
}

std::string utf8_to_ansi(const char* text) {
  return convert_lossily(text, Charset::narrow, Direction::from_utf8);
}

std::string ansi_to_utf8(const char* text) {
  return convert_lossily(text, Charset::narrow, Direction::to_utf8);
}

void replace_char(std::string& text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
}

// Tools on Windows derive the key from either form of a password: the ANSI
// code page's bytes or UTF-8. The ANSI form is taken only where it spells
// the password exactly (converted back it gives the same text): a best fit
// or '?' would make another, weaker password.
std::string password_key(const std::string& utf8) {
  std::string key;
  if (!utf8::is_valid(utf8) ||
      !CharsetConverter(Charset::passwords, Direction::from_utf8, Fidelity::exact)
           .convert(utf8, &key)) {
    return utf8;
  }
  return key;
}

// When the key is another form than the UTF-8 given, reading tries that too;
// else the narrow charset's form, where it spells the password exactly.
std::string password_alternative(const std::string& utf8) {
  if (!utf8::is_valid(utf8)) return std::string();
  if (password_key(utf8) != utf8) return utf8;
  std::string narrow;
  if (!CharsetConverter(Charset::narrow, Direction::from_utf8, Fidelity::exact)
           .convert(utf8, &narrow)) {
    return std::string();
  }
  return narrow == utf8 ? std::string() : narrow;
}

}  // namespace names

NativeNames::NativeNames()
    : to_native_(new CharsetConverter(Charset::names, Direction::from_utf8, Fidelity::exact)) {}

NativeNames::~NativeNames() = default;

bool NativeNames::native_form(const std::string& text, bool is_utf8, std::string* native) const {
  native->clear();
  if (!is_utf8) {
    *native = text;
    return true;
  }
  return to_native_->convert(text, native);
}
