// Names found on disk are in the locale's charset (UTF-8 in the C locale,
// see Utf8NamesOnThisThread), converted to UTF-8 by iconv; names given for
// entries are UTF-8 already.
#include <iconv.h>
#include <langinfo.h>

#include <cstring>

#include "archive/entry_name.h"
#include "archive/utf8.h"
#include "fsutil/thread_locale.h"

namespace entry_name {

namespace {

bool is_utf8_charset(const char* charset) {
  return std::strcmp(charset, "UTF-8") == 0 || std::strcmp(charset, "utf8") == 0;
}

// Strictly: a name with any byte the charset cannot decode has no UTF-8 form.
bool convert_to_utf8(const std::string& text, const char* charset, std::string* utf8) {
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out(4 * text.size() + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char* dst = &out[0];
  size_t dst_left = out.size();
  const bool converted = iconv(cd, &in, &in_left, &dst, &dst_left) != static_cast<size_t>(-1) &&
                         iconv(cd, nullptr, nullptr, &dst, &dst_left) != static_cast<size_t>(-1);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  *utf8 = std::move(out);
  return converted;
}

}  // namespace

std::string from_given(const std::string& utf8) { return utf8; }

bool stored_form(const std::string& native, std::string* stored) {
  if (is_ascii(native)) {
    *stored = native;
    return true;
  }
  fsutil::Utf8NamesOnThisThread utf8_names;
  const char* charset = nl_langinfo(CODESET);
  if (!is_utf8_charset(charset)) return convert_to_utf8(native, charset, stored);
  *stored = native;
  return is_valid_utf8(native);
}

std::string shown(const std::string& native) {
  std::string utf8;
  return stored_form(native, &utf8) ? utf8 : native;
}

}  // namespace entry_name
