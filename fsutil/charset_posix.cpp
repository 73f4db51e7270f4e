// The locale's charset through iconv. Names pass through unchanged in a UTF-8
// locale, and in an ASCII one (the C/POSIX locale), where they are taken as
// the UTF-8 they are on disk. Legacy entry names are their bytes as stored,
// and password keys the bytes given.
#include "fsutil/charset.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

#include "fsutil/thread_locale.h"

namespace fsutil {

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Whether text in the charset nl_langinfo names is taken as UTF-8.
bool is_utf8_charset(const char* charset) {
  return std::strcmp(charset, "UTF-8") == 0 || std::strcmp(charset, "utf8") == 0 ||
         is_ascii_charset(charset);
}

bool is_locale_charset(Charset charset) {
  return charset == Charset::names || charset == Charset::narrow;
}

// Converts with iconv, growing the output as needed. Input the source charset
// cannot decode is replaced by '?' one byte at a time; characters the target
// charset lacks are transliterated by iconv (which falls back to '?').
std::string convert_lossily(iconv_t cd, const std::string& text) {
  std::string out;
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
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

// `text` converted, or false when the source charset cannot decode it or the
// target lacks one of its characters.
bool convert_exactly(iconv_t cd, const std::string& text, std::string* out) {
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

struct CharsetConverter::State {
  iconv_t cd = kNoConverter;
  ~State() {
    if (cd != kNoConverter) iconv_close(cd);
  }
};

CharsetConverter::CharsetConverter(Charset charset, Direction direction, Fidelity fidelity)
    : direction_(direction), fidelity_(fidelity) {
  if (!is_locale_charset(charset)) return;
  const std::string locale_charset = nl_langinfo(CODESET);
  if (is_utf8_charset(locale_charset.c_str())) return;
  std::string target = direction == Direction::from_utf8 ? locale_charset : "UTF-8";
  const std::string source = direction == Direction::from_utf8 ? "UTF-8" : locale_charset;
  if (fidelity == Fidelity::lossy) target += "//TRANSLIT";
  state_.reset(new State);
  state_->cd = iconv_open(target.c_str(), source.c_str());
}

CharsetConverter::~CharsetConverter() = default;

bool CharsetConverter::convert(const std::string& text, std::string* out) const {
  if (!state_ || (state_->cd == kNoConverter && fidelity_ == Fidelity::lossy)) {
    *out = text;
    return true;
  }
  if (state_->cd == kNoConverter) return false;
  iconv(state_->cd, nullptr, nullptr, nullptr, nullptr);  // a fresh start
  if (fidelity_ == Fidelity::exact) return convert_exactly(state_->cd, text, out);
  *out = convert_lossily(state_->cd, text);
  return true;
}

}  // namespace fsutil
