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

void replace_char(std::string& text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
}
