// Entry names as the writer stores them: UTF-8, separated by '/'.
#pragma once

#include <string>

namespace entry_name {

// The stored form of a native name (in the locale's charset on POSIX
// systems, UTF-8 on Windows); false when the name has no UTF-8 form.
bool stored_form(const std::string& native, std::string* stored);

}  // namespace entry_name
