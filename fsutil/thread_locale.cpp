#include "fsutil/thread_locale.h"

#include <langinfo.h>
#include <locale.h>

#include <cstring>

namespace fsutil {

namespace {

// Made once and kept for the life of the process; null where the system has
// no C.UTF-8 locale, and then names stay as the locale has them.
locale_t utf8_locale() {
  static const locale_t locale = ::newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

}  // namespace

bool is_ascii_charset(const char* charset) {
  // glibc calls it by its standard's name; other C libraries say ASCII.
  return std::strcmp(charset, "ANSI_X3.4-1968") == 0 || std::strcmp(charset, "ASCII") == 0 ||
         std::strcmp(charset, "US-ASCII") == 0;
}

Utf8NamesOnThisThread::Utf8NamesOnThisThread() {
  if (!is_ascii_charset(::nl_langinfo(CODESET)) || !utf8_locale()) return;
  previous_ = static_cast<void*>(::uselocale(utf8_locale()));
}

Utf8NamesOnThisThread::~Utf8NamesOnThisThread() {
  if (previous_) ::uselocale(static_cast<locale_t>(previous_));
}

}  // namespace fsutil
