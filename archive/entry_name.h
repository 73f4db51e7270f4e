// Entry names as the writer stores them: UTF-8, separated by '/'.
#pragma once

#include <cstddef>
#include <string>

namespace entry_name {

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
// absolute one ('/x', '\x', 'C:x'), one with a '..' component, and a file's
// name ending in a separator (every reader takes it for a folder).
std::string refusal(const std::string& stored, bool folder);

}  // namespace entry_name
