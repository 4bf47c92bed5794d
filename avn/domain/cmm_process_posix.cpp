#include <unistd.h>

#include "avn/domain/cmm_process.h"

uint32_t cmm_process_current_id() {
    return static_cast<uint32_t>(getpid());
}
