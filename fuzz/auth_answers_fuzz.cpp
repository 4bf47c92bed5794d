// The Domain Manager's identify and login answers (JSON) and the certificate
// texts of its handshake.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "avn/domain/auth_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    auth_parse_identify(input);
    const long status = size > 0 ? 200 + data[0] % 4 * 100 : 200;
    auth_parse_login(input, 1, status);
    auth_parse_login(input, 2, status);
    // Certificate entries: the input split at 0x01 bytes, as libcurl lists them.
    std::vector<std::string_view> entries;
    size_t start = 0;
    for (size_t i = 0; i <= size && entries.size() < 16; ++i) {
        if (i == size || input[i] == '\x01') {
            entries.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }
    auth_identity_from_certinfo(entries);
    return 0;
}
