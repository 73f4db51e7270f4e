#include "fsutil/process.h"

#include <windows.h>

int64_t fsutil::current_process_id() { return static_cast<int64_t>(GetCurrentProcessId()); }
