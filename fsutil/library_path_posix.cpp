#include "fsutil/library_path.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>

namespace fsutil {

std::string library_path() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&library_path), &info) == 0 || !info.dli_fname) return {};
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(info.dli_fname, nullptr),
                                                       &std::free);
  return resolved ? std::string(resolved.get()) : std::string(info.dli_fname);
}

}  // namespace fsutil
