// The id of the running process, as the CMM client registers it with the
// service (platform side in cmm_process_posix.cpp / cmm_process_win32.cpp).
#pragma once

#include <cstdint>

uint32_t cmm_process_current_id();
