// Native names are in the locale's charset; the C/POSIX locale's ASCII counts
// as UTF-8, as for every other name (see fsutil/thread_locale.h). A legacy
// name is its bytes as stored, as text and on disk alike.
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

#include "archive/stored_name.h"
#include "fsutil/thread_locale.h"

struct NativeNames::Converter {
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  ~Converter() {
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
};

namespace {

bool is_utf8_charset(const char* charset) {
  return std::strcmp(charset, "UTF-8") == 0 || std::strcmp(charset, "utf8") == 0 ||
         fsutil::is_ascii_charset(charset);
}

}  // namespace

namespace stored_name {

bool text_of_legacy(const std::string& stored, std::string* text) {
  *text = stored;
  return true;
}

}  // namespace stored_name

// The charset is the one of the thread that extracts, which is the process
// locale's (Parvox never changes it).
NativeNames::NativeNames() {
  const char* charset = nl_langinfo(CODESET);
  if (is_utf8_charset(charset)) return;
  converter_.reset(new Converter);
  converter_->cd = iconv_open(charset, "UTF-8");
}

NativeNames::~NativeNames() = default;

// Strict: a character the charset lacks makes the name unconvertible rather
// than a substitute that could name another file.
bool NativeNames::native_form(const std::string& name, bool is_utf8, std::string* native) const {
  native->clear();
  if (!is_utf8 || !converter_) {
    *native = name;
    return true;
  }
  if (converter_->cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(converter_->cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(4 * name.size() + 8, '\0');
  char* in = const_cast<char*>(name.data());
  size_t in_left = name.size();
  char* dst = &out[0];
  size_t dst_left = out.size();
  if (iconv(converter_->cd, &in, &in_left, &dst, &dst_left) == static_cast<size_t>(-1) ||
      iconv(converter_->cd, nullptr, nullptr, &dst, &dst_left) == static_cast<size_t>(-1)) {
    return false;
  }
  out.resize(out.size() - dst_left);
  *native = std::move(out);
  return true;
}
