// The Domain Manager's answers to identify and login, read without any I/O:
// the JSON bodies and the certificate information of the TLS handshake.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "avn/domain/secret_buffer.h"

// Result codes of an identify or login exchange.
enum avnapi_auth_code : int {
    AVNAPI_AUTH_SUCCESS = 0,
    AVNAPI_AUTH_UNAUTHORISED = 1,
    AVNAPI_AUTH_CONNECTION_FAILED = 2,
    AVNAPI_AUTH_TRANSFER_ERROR = 3,
    AVNAPI_AUTH_TLS_HANDSHAKE_ERROR = 4,
    AVNAPI_AUTH_CA_CERTIFICATE_ERROR = 5,
    AVNAPI_AUTH_MALFORMED = 6,
    AVNAPI_AUTH_NO_SUPPORTED_VERSION = 7,
    AVNAPI_AUTH_NO_RESULT = 8,
};

// Why a body could not be parsed: jansson's line and text. For login answers
// the text stops before jansson's " near '...'" quote of the input, which
// could hold part of a token.
struct auth_parse_error {
    bool failed = false;
    int line = 0;
    std::string text;
};

struct auth_identify_answer {
    auth_parse_error error;
    bool well_formed = false;  // an array holding at least one string
    uint16_t version = 0;      // 1 or 2; 0 when none is offered that we know
};

// The body of GET /avnapi: a JSON array whose first "v1" or "v2" string names
// the version.
auth_identify_answer auth_parse_identify(std::string_view body);

inline constexpr std::size_t kAuthTokenMaxLength = 255;

struct auth_login_answer {
    int code = AVNAPI_AUTH_MALFORMED;
    auth_parse_error error;
    bool has_server_error = false;  // a version 1 "error" member
    std::string server_error;
    SecretBuffer token;  // at most kAuthTokenMaxLength characters
    uint16_t service_port = 0;
};

// The body of a login answer of interface version 1 or 2 with its HTTP status.
auth_login_answer auth_parse_login(std::string_view body, uint16_t version, long http_status);

// The identity of the server from libcurl's certificate information: the
// fingerprint of the first certificate ("Cert:" entry) that yields one, which
// is the server's own (the chain is listed from the server upwards). Empty
// when none does.
std::string auth_identity_from_certinfo(std::span<const std::string_view> entries);

// A server's text made fit for one log line: control characters and
// backslashes escaped (\xNN, \\), cut to at most `limit` characters of the
// original, "..." added when cut.
std::string auth_printable_text(std::string_view text, size_t limit);
