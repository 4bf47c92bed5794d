// The Domain Manager's identify and login answers (JSON), the certificate
// texts of its handshake, and a server's text made fit for the log.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "avn/domain/auth_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    auth_parse_identify(input);
    const long status = size > 0 ? 200 + data[0] % 4 * 100 : 200;
    const auth_login_answer v1 = auth_parse_login(input, 1, status);
    auth_parse_login(input, 2, status);
    // What of the server's error text reaches the log.
    auth_printable_text(v1.server_error, 200);
    auth_printable_text(input, size % 300);
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
