// Native names are UTF-8; unflagged names that are not taken as UTF-8 are in
// the ANSI code page, as Windows' own tools write them.
#include "archive/stored_name.h"
#include "fsutil/wide_string.h"

namespace stored_name {

bool text_of_legacy(const std::string& stored, std::string* text) {
  const std::wstring wide = fsutil::to_utf16(stored, fsutil::ansi_code_page());
  *text = fsutil::from_utf16(wide);
  return wide.empty() == stored.empty();
}

}  // namespace stored_name

struct NativeNames::Converter {};

NativeNames::NativeNames() = default;
NativeNames::~NativeNames() = default;

bool NativeNames::native_form(const std::string& text, bool, std::string* native) const {
  *native = text;
  return true;
}
