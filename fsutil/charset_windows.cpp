// Names are UTF-8 in the native layer on Windows and pass through; the
// narrow charset, legacy entry names and password keys are the ANSI code
// page, converted through UTF-16.
#include "fsutil/charset.h"

#include "fsutil/wide_string.h"

namespace fsutil {

struct CharsetConverter::State {
  unsigned code_page;
};

CharsetConverter::CharsetConverter(Charset charset, Direction direction, Fidelity fidelity)
    : direction_(direction), fidelity_(fidelity) {
  if (charset == Charset::names) return;
  state_.reset(new State{ansi_code_page()});
}

CharsetConverter::~CharsetConverter() = default;

// Exact: the text converted back gives the same characters (no best fit,
// no '?'), and nothing of it is lost.
bool CharsetConverter::convert(const std::string& text, std::string* out) const {
  if (!state_) {
    *out = text;
    return true;
  }
  const unsigned page = state_->code_page;
  if (direction_ == Direction::from_utf8) {
    const std::wstring wide = to_utf16(text);
    *out = from_utf16(wide, page);
    return fidelity_ == Fidelity::lossy || to_utf16(*out, page) == wide;
  }
  const std::wstring wide = to_utf16(text, page);
  *out = from_utf16(wide);
  return fidelity_ == Fidelity::lossy || wide.empty() == text.empty();
}

}  // namespace fsutil
