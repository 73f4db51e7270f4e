// Native names are UTF-8; unflagged names that are not taken as UTF-8 are in
// the ANSI code page, as Windows' own tools write them.
#include "archive/stored_name.h"
#include "archive/utf8.h"
#include "fsutil/wide_string.h"

struct StoredNameDecoder::Converter {};

StoredNameDecoder::StoredNameDecoder() = default;
StoredNameDecoder::~StoredNameDecoder() = default;

bool StoredNameDecoder::from_utf8(const std::string& utf8, std::string* native) const {
  native->clear();
  if (!is_valid_utf8(utf8)) return false;
  *native = utf8;
  return true;
}

bool StoredNameDecoder::from_legacy(const std::string& stored, std::string* native) const {
  const std::wstring wide = fsutil::to_utf16(stored, fsutil::ansi_code_page());
  *native = fsutil::from_utf16(wide);
  return wide.empty() == stored.empty();
}
