// The domain list that a Domain Manager sends on its connection.
#include <cstddef>
#include <cstdint>
#include <span>

#include "avn/domain/dm_domain_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dm_domain_list_parse(std::span<const uint8_t>(data, size));
    return 0;
}
