#include "ext/string_conversion.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

#include "fsutil/thread_locale.h"

namespace {

// Names pass through unchanged in a UTF-8 locale, and in an ASCII one (the
// C/POSIX locale), where they are taken as the UTF-8 they are on disk.
bool passes_through(const char* charset) {
  return std::strcmp(charset, "UTF-8") == 0 || std::strcmp(charset, "utf8") == 0 ||
         fsutil::is_ascii_charset(charset);
}

struct IconvCloser {
  iconv_t cd;
  ~IconvCloser() { iconv_close(cd); }
};

// Converts with iconv, growing the output as needed. Input the source charset
// cannot decode is replaced by '?' one byte at a time; characters the target
// charset lacks are transliterated by iconv (which falls back to '?').
std::string convert(const char* text, const char* from, const char* to) {
  const std::string target = std::string(to) + "//TRANSLIT";
  iconv_t cd = iconv_open(target.c_str(), from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  IconvCloser closer{cd};

  std::string out;
  char* in = const_cast<char*>(text);
  size_t in_left = std::strlen(text);
  std::string chunk(4 * in_left + 16, '\0');
  while (in_left > 0) {
    char* dst = &chunk[0];
    size_t dst_left = chunk.size();
    size_t result = iconv(cd, &in, &in_left, &dst, &dst_left);
    out.append(chunk.data(), chunk.size() - dst_left);
    if (result != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL: an undecodable or incomplete sequence.
    out.push_back('?');
    ++in;
    --in_left;
  }
  char* dst = &chunk[0];
  size_t dst_left = chunk.size();
  iconv(cd, nullptr, nullptr, &dst, &dst_left);  // flush any shift state
  out.append(chunk.data(), chunk.size() - dst_left);
  return out;
}

// `text` in the charset `to`, or false when `from` cannot decode it or `to`
// lacks one of its characters.
bool convert_exactly(const std::string& text, const char* from, const char* to, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  IconvCloser closer{cd};
  std::string converted(4 * text.size() + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char* dst = &converted[0];
  size_t dst_left = converted.size();
  if (iconv(cd, &in, &in_left, &dst, &dst_left) == static_cast<size_t>(-1) ||
      iconv(cd, nullptr, nullptr, &dst, &dst_left) == static_cast<size_t>(-1)) {
    return false;
  }
  converted.resize(converted.size() - dst_left);
  *out = std::move(converted);
  return true;
}

}  // namespace

std::string utf8_to_ansi(const char* text) {
  const char* charset = nl_langinfo(CODESET);
  if (passes_through(charset)) return text;
  return convert(text, "UTF-8", charset);
}

std::string ansi_to_utf8(const char* text) {
  const char* charset = nl_langinfo(CODESET);
  if (passes_through(charset)) return text;
  return convert(text, charset, "UTF-8");
}


// Names and paths take the locale's charset as well on Linux.
std::string utf8_to_native_name(const char* text) { return utf8_to_ansi(text); }

std::string native_name_to_utf8(const char* text) { return ansi_to_utf8(text); }

std::string password_key(const std::string& utf8) { return utf8; }

std::string password_alternative(const std::string& utf8) {
  const char* charset = nl_langinfo(CODESET);
  std::string local;
  if (passes_through(charset) || !convert_exactly(utf8, "UTF-8", charset, &local)) return std::string();
  return local == utf8 ? std::string() : local;
}
