// Entry names as the reader holds them, and as the file system takes them.
//
// Inside the reader a name is text: UTF-8 for a name stored as UTF-8 (see
// choose_name), and for a legacy name (unflagged, not UTF-8) its bytes as
// stored on Linux, its ANSI code page text converted to UTF-8 on Windows.
// Lookups, listings and progress reports use that text; only extraction of
// the whole archive turns it into a native name (the locale's charset on
// Linux, UTF-8 on Windows).
#pragma once

#include <memory>
#include <string>

namespace stored_name {

// A UTF-8 name as text; false when it is not valid UTF-8.
bool text_of_utf8(const std::string& utf8, std::string* text);
// A name in the legacy charset of unflagged names as text; false when it
// cannot be converted.
bool text_of_legacy(const std::string& stored, std::string* text);

}  // namespace stored_name

// Converts names as text to the native form file system paths take.
class NativeNames {
 public:
  NativeNames();
  ~NativeNames();
  NativeNames(const NativeNames&) = delete;
  NativeNames& operator=(const NativeNames&) = delete;

  // The native form of the name `text` (stored as UTF-8 when `is_utf8`, else
  // a legacy name); false when the native charset cannot hold it.
  bool native_form(const std::string& text, bool is_utf8, std::string* native) const;

  struct Converter;

 private:
  std::unique_ptr<Converter> converter_;
};
