// Authentication with a Domain Manager's web interface over HTTPS.
//
// Identify learns the server's public-key fingerprint and the version of its
// interface (GET /avnapi); login trades a user name and password for a token
// and the port of the connection service (POST /api/login for version 1,
// /avnapi/v2/login for version 2), pinned to the key that identify saw.
// Transfers run on libcurl's multi interface, driven by the environment's
// event loop; each ends with one call of the completion callback carrying an
// avnapi_auth_code (auth_answers.h).
//
// States: 0 idle, 1 identifying, 2 identified, 3 acquiring the token,
// 4 token acquired.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/domain/auth_answers.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"

struct avnapi_auth;

enum avnapi_auth_state : int {
    AVNAPI_AUTH_STATE_IDLE = 0,
    AVNAPI_AUTH_STATE_IDENTIFYING = 1,
    AVNAPI_AUTH_STATE_IDENTIFIED = 2,
    AVNAPI_AUTH_STATE_ACQUIRING_TOKEN = 3,
    AVNAPI_AUTH_STATE_TOKEN_ACQUIRED = 4,
};

using avnapi_auth_callback = void (*)(void* context, int code);

// Initialises libcurl and allocates the object (NOMEMORY).
aud_error avnapi_auth_new(aud_env* env, avnapi_auth** out);
// Resets (ending any transfer without calling back) and frees.
void avnapi_auth_delete(avnapi_auth* auth);

aud_error avnapi_auth_set_context(avnapi_auth* auth, void* context);
aud_error avnapi_auth_set_callback(avnapi_auth* auth, avnapi_auth_callback callback);

// Resets, then starts identify against https://HOST:PORT (state 1).
// NOTSUPPORTED when the environment has no event loop to drive it.
aud_error avnapi_auth__identify(avnapi_auth* auth, const char* host, uint16_t port);
// Drops any token, then starts login in state 2 (state 3). The password is
// used for this request only and wiped when it ends.
aud_error avnapi_auth__login(avnapi_auth* auth, const char* user, const char* password);

// The server's fingerprint ("sha256//..."), from state 2 on.
aud_error avnapi_auth_get_identity(avnapi_auth* auth, const char** text, size_t* length);
// 1 or 2, from state 2 on.
aud_error avnapi_auth_get_version(avnapi_auth* auth, uint16_t* version);
// In state 4 only; the bytes stay the object's until the token is dropped.
aud_error avnapi_auth_get_token(avnapi_auth* auth, const uint8_t** token, size_t* length);
aud_error avnapi_auth_get_service_port(avnapi_auth* auth, uint16_t* port);

int avnapi_auth_get_state(const avnapi_auth* auth);
// Whether the last transfer failed because the server's key was not the one
// identify saw (reported as a transfer error).
bool avnapi_auth_last_failure_was_pin(const avnapi_auth* auth);

// State 3 ends the login transfer, state 4 wipes the token; either way state 2.
void avnapi_auth_drop_token(avnapi_auth* auth);
// Drops the token, ends an identify transfer, forgets the server; state 0.
void avnapi_auth_reset(avnapi_auth* auth);

// SUCCESS, POLICY, CONNREFUSED, INVALIDDATA, NOTSUPPORTED or FAULT.
aud_error avnapi_auth_code_to_error(int code);
