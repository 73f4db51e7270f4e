// The rules every stored name follows, on every platform. Readers take '\'
// for a separator as well as '/', so both count as one here.
#include "archive/entry_name.h"

#include "archive/failures.h"
#include "archive/utf8.h"

namespace entry_name {

namespace {

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

// The name as a reason shows it: NUL as "\0", cut after kShownBytes (at
// the start of a character).
std::string shown_name(const std::string& name) {
  std::string shown;
  for (size_t at = 0; at < name.size(); ++at) {
    const bool starts_character = (static_cast<unsigned char>(name[at]) & 0xC0) != 0x80;
    if (shown.size() >= kShownBytes && starts_character) return quoted(shown + "...");
    if (name[at] == '\0') {
      shown += "\\0";
    } else {
      shown += name[at];
    }
  }
  return quoted(shown);
}

}  // namespace

std::string refusal(const std::string& stored, bool folder) {
  const char* why = nullptr;
  if (stored.empty()) {
    why = "it is empty";
  } else if (stored.find('\0') != std::string::npos) {
    why = "it holds a NUL byte";
  } else if (!is_valid_utf8(stored)) {
    why = "it is not valid UTF-8";
  } else if (stored.size() > kMaxStoredSize) {
    why = "it is longer than 65,535 bytes";
  } else if (is_absolute(stored)) {
    why = "it is an absolute path";
  } else if (has_parent_component(stored)) {
    why = "it has a '..' component";
  } else if (!folder && is_separator(stored.back())) {
    why = "it ends in a separator, which makes it a folder's name";
  }
  if (!why) return std::string();
  return shown_name(stored) + " cannot be an entry name: " + why;
}

}  // namespace entry_name
