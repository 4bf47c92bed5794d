// The system's text files (resolver configuration, routing table, /sys
// attributes, interface names) are read by parsers that must stay inside the
// bytes whatever the files hold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "avn/browse/interfaces.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    uint32_t address = 0;
    aud_interface_parse_ipv4(text, size, &address);

    char suffix[64];
    aud_interface_parse_resolver_config(text, size, &address, suffix, sizeof suffix);
    if (strnlen(suffix, sizeof suffix) == sizeof suffix) {
        __builtin_trap();  // the suffix must always come back terminated
    }
    (void)aud_interface_parse_route_table(text, size, "eth0");
    (void)aud_interface_parse_sysfs_number(text, size);

    aud_interface record{};
    aud_interface_set_name_utf8(&record, text, size);
    std::vector<char16_t> wide(size / 2);
    std::memcpy(wide.data(), data, wide.size() * sizeof(char16_t));
    aud_interface_set_name_utf16(&record, wide.data(), wide.size());
    return 0;
}
