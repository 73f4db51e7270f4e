// Native names are in the locale's charset; the C/POSIX locale's ASCII counts
// as UTF-8, as for every other name (see fsutil/thread_locale.h).
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

#include "archive/stored_name.h"
#include "archive/utf8.h"
#include "fsutil/thread_locale.h"

struct StoredNameDecoder::Converter {
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

// The charset is the one of the thread that reads the directory, which is the
// process locale's (Parvox never changes it).
StoredNameDecoder::StoredNameDecoder() {
  const char* charset = nl_langinfo(CODESET);
  if (is_utf8_charset(charset)) return;
  converter_.reset(new Converter);
  converter_->cd = iconv_open(charset, "UTF-8");
}

StoredNameDecoder::~StoredNameDecoder() = default;

// Strict: a character the charset lacks makes the name unconvertible rather
// than a substitute that could name another file.
bool StoredNameDecoder::from_utf8(const std::string& utf8, std::string* native) const {
  native->clear();
  if (!is_valid_utf8(utf8)) return false;
  if (!converter_) {
    *native = utf8;
    return true;
  }
  if (converter_->cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(converter_->cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(4 * utf8.size() + 8, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t in_left = utf8.size();
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

bool StoredNameDecoder::from_legacy(const std::string& stored, std::string* native) const {
  *native = stored;
  return true;
}
