#include "avn/domain/auth_answers.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <jansson.h>
#include <openssl/crypto.h>

#include "avn/domain/x509_fingerprint.h"

namespace {

struct JsonFree {
    void operator()(json_t* json) const { json_decref(json); }
};
using JsonPtr = std::unique_ptr<json_t, JsonFree>;

// jansson keeps copies of every string it parses, tokens among them. Its
// allocations carry their size in front so that they are wiped when freed.
void* wiping_malloc(size_t size) {
    constexpr size_t kHeader = alignof(std::max_align_t);
    if (size > SIZE_MAX - kHeader) {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) {
        return nullptr;
    }
    *reinterpret_cast<size_t*>(block) = size;
    return block + kHeader;
}

void wiping_free(void* pointer) {
    constexpr size_t kHeader = alignof(std::max_align_t);
    if (pointer == nullptr) {
        return;
    }
    auto* block = static_cast<unsigned char*>(pointer) - kHeader;
    OPENSSL_cleanse(block, *reinterpret_cast<size_t*>(block) + kHeader);
    std::free(block);
}

// The allocator is the whole process's: it is put in place before main()
// runs, in every program that reads Domain Manager answers, so that no
// value is ever allocated by one allocator and freed by the other (a value
// that the program made with jansson before a first login and freed after
// it would otherwise hand wiping_free a block without its header).
const bool g_wiping_json_allocator = [] {
    json_set_alloc_funcs(wiping_malloc, wiping_free);
    return true;
}();

JsonPtr parse_json(std::string_view body, auth_parse_error& error, bool hide_input) {
    json_error_t json_error{};
    JsonPtr root(json_loadb(body.data(), body.size(), 0, &json_error));
    if (!root) {
        error.failed = true;
        error.line = json_error.line;
        error.text = json_error.text;
        if (hide_input) {
            const auto near = error.text.find(" near ");
            if (near != std::string::npos) {
                error.text.erase(near);
            }
        }
    }
    return root;
}

bool is_http_success(long status) { return status >= 200 && status <= 299; }

// A whole decimal number (digits only) equal to one of the refusals.
bool is_refusal_number(std::string_view text) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    unsigned value = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (failure != std::errc() || end != text.data() + text.size() || text.front() == '+') {
        return false;
    }
    return value == 400 || value == 401 || value == 404;
}

// "HOST:PORT" with a host of at most 98 characters and a port that fits.
uint16_t port_of_service(const char* service) {
    char host[99];
    unsigned port = 0;
    if (std::sscanf(service, "%98[^:]:%99u", host, &port) != 2 || port == 0 || port > 65535) {
        return 0;
    }
    return static_cast<uint16_t>(port);
}

uint16_t port_of_integer(const json_t* value) {
    if (!json_is_integer(value)) {
        return 0;
    }
    const json_int_t port = json_integer_value(value);
    return port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

}  // namespace

auth_identify_answer auth_parse_identify(std::string_view body) {
    auth_identify_answer answer;
    const JsonPtr root = parse_json(body, answer.error, false);
    if (!json_is_array(root.get())) {
        return answer;
    }
    const size_t count = json_array_size(root.get());
    for (size_t i = 0; i < count; ++i) {
        const json_t* element = json_array_get(root.get(), i);
        if (!json_is_string(element)) {
            continue;
        }
        answer.well_formed = true;
        const std::string_view text(json_string_value(element), json_string_length(element));
        if (text == "v1" || text == "v2") {
            answer.version = text == "v1" ? 1 : 2;
            break;
        }
    }
    return answer;
}

auth_login_answer auth_parse_login(std::string_view body, uint16_t version, long http_status) {
    auth_login_answer answer;
    // A refusal needs no readable body: check the status first.
    if (version == 2 && !is_http_success(http_status)) {
        answer.code = http_status == 401 || http_status == 403 ? AVNAPI_AUTH_UNAUTHORISED
                                                               : AVNAPI_AUTH_CONNECTION_FAILED;
        return answer;
    }
    const JsonPtr root = parse_json(body, answer.error, true);
    if (!root) {
        answer.code = AVNAPI_AUTH_MALFORMED;
        return answer;
    }
    if (version == 1) {
        const json_t* error = json_object_get(root.get(), "error");
        if (json_is_string(error)) {
            answer.has_server_error = true;
            answer.server_error.assign(json_string_value(error), json_string_length(error));
            if (is_refusal_number(answer.server_error)) {
                answer.code = AVNAPI_AUTH_UNAUTHORISED;
                return answer;
            }
        }
    }
    const json_t* token = json_object_get(root.get(), "authToken");
    if (!json_is_string(token)) {
        answer.code = AVNAPI_AUTH_MALFORMED;
        return answer;
    }
    const size_t token_length = std::min<size_t>(json_string_length(token), kAuthTokenMaxLength);
    if (token_length == 0) {
        answer.code = AVNAPI_AUTH_MALFORMED;
        return answer;
    }
    if (version == 1) {
        const json_t* service = json_object_get(root.get(), "service");
        answer.service_port = json_is_string(service) ? port_of_service(json_string_value(service)) : 0;
    } else {
        answer.service_port = port_of_integer(json_object_get(root.get(), "servicePort"));
    }
    if (answer.service_port == 0) {
        answer.code = AVNAPI_AUTH_MALFORMED;
        return answer;
    }
    if (!answer.token.append(json_string_value(token), token_length)) {
        answer.code = AVNAPI_AUTH_NO_RESULT;
        return answer;
    }
    answer.code = AVNAPI_AUTH_SUCCESS;
    return answer;
}

std::string auth_identity_from_certinfo(std::span<const std::string_view> entries) {
    constexpr std::string_view kPrefix = "Cert:";
    for (const std::string_view entry : entries) {
        if (entry.substr(0, kPrefix.size()) != kPrefix) {
            continue;
        }
        std::string identity = get_x509_fingerprint_pem(entry.substr(kPrefix.size()));
        if (!identity.empty()) {
            return identity;
        }
    }
    return {};
}

std::string auth_printable_text(std::string_view text, size_t limit) {
    std::string out;
    const size_t kept = std::min(text.size(), limit);
    out.reserve(kept + 8);
    for (size_t i = 0; i < kept; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (kept < text.size()) {
        out += "...";
    }
    return out;
}

