// The Unix mode an entry made on Unix carries in the high 16 bits of its
// external attributes: the file's type and permission bits.
#pragma once

#include <cstdint>

namespace unix_mode {

constexpr int kMadeOnUnix = 3;  // the system, in the high byte of "version made by"
constexpr uint32_t kTypeBits = 0170000;
constexpr uint32_t kRegularFile = 0100000;
constexpr uint32_t kFolder = 0040000;
constexpr uint32_t kSymlink = 0120000;
// The permission bits with setuid, setgid and sticky.
constexpr uint32_t kModeBits = 07777;
// Read, write, execute for user, group and other; never setuid, setgid or
// sticky.
constexpr uint32_t kPermissionBits = 0777;
constexpr uint32_t kExecuteBits = 0111;

inline uint32_t of_attributes(uint32_t external_attributes) { return external_attributes >> 16; }

}  // namespace unix_mode
