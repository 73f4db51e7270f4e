// How a name stored in an archive becomes a name for the native layer (the
// locale's charset on Linux, UTF-8 on Windows).
//
// Which form a stored name is in is decided by the central directory reader;
// turning a known form into the native one differs by platform.
#pragma once

#include <memory>
#include <string>

class StoredNameDecoder {
 public:
  StoredNameDecoder();
  ~StoredNameDecoder();
  StoredNameDecoder(const StoredNameDecoder&) = delete;
  StoredNameDecoder& operator=(const StoredNameDecoder&) = delete;

  // A UTF-8 name in native form; false when it is not valid UTF-8 or the
  // native charset cannot hold it.
  bool from_utf8(const std::string& utf8, std::string* native) const;
  // A name in the legacy charset of unflagged names: on Linux its bytes as
  // stored, on Windows the ANSI code page.
  bool from_legacy(const std::string& stored, std::string* native) const;

  struct Converter;

 private:
  std::unique_ptr<Converter> converter_;
};
