// File names on Linux are bytes, and today they are UTF-8 bytes. A process in
// the C/POSIX locale has ASCII as its character set, which would leave every
// non-ASCII name unconvertible; names are then taken as UTF-8 instead.
#pragma once

namespace fsutil {

// True for the name nl_langinfo(CODESET) gives ASCII (the C/POSIX locale's
// character set).
bool is_ascii_charset(const char* charset);

// While it lives, the calling thread works in a UTF-8 locale if the thread's
// locale has ASCII as its character set, so that libraries converting names
// through the locale take them as UTF-8. Any other locale is left as it is;
// the process locale is never changed.
class Utf8NamesOnThisThread {
 public:
  Utf8NamesOnThisThread();
  ~Utf8NamesOnThisThread();
  Utf8NamesOnThisThread(const Utf8NamesOnThisThread&) = delete;
  Utf8NamesOnThisThread& operator=(const Utf8NamesOnThisThread&) = delete;

 private:
  void* previous_ = nullptr;  // the thread's locale before, when it was replaced
};

}  // namespace fsutil
