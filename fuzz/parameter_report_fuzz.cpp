// Reports come from the network: parsing any bytes must stay within them,
// and every pair must map to an index without overflow.
#include <cstddef>
#include <cstdint>

#include "device/parameters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const ParameterValue& pair : parse_parameter_report({data, size})) {
        const int32_t index = index_for_value(pair.id, pair.value);
        if (value_for_index(pair.id, index) != pair.value) {
            __builtin_trap();
        }
        if (is_known_parameter(pair.id)) {
            (void)parameter_display_text(static_cast<ParameterId>(pair.id), index);
        }
    }
    return 0;
}
