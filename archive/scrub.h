// Clearing memory that held a secret (a password, a key, what either is
// derived from) once it is no longer needed.
#pragma once

#include <cstddef>

namespace scrub {

// Zeroes `size` bytes at `data` through volatile stores, which the compiler
// keeps although nothing reads the memory again.
inline void bytes(void* data, size_t size) {
  volatile unsigned char* byte = static_cast<volatile unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) byte[i] = 0;
}

}  // namespace scrub
