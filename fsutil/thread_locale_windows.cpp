// Windows has no C locale of this kind to work around: names reach libarchive
// as UTF-16, whatever the thread's locale.
#include "fsutil/thread_locale.h"

#include <cstring>

namespace fsutil {

bool is_ascii_charset(const char* charset) {
  return std::strcmp(charset, "ASCII") == 0 || std::strcmp(charset, "US-ASCII") == 0;
}

Utf8NamesOnThisThread::Utf8NamesOnThisThread() = default;

Utf8NamesOnThisThread::~Utf8NamesOnThisThread() = default;

}  // namespace fsutil
