#include "app/dm_connect.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include <openssl/crypto.h>

#include "avn/api/avn_access.h"
#include "avn/api/avnapi.h"
#include "avn/domain/domain_handler.h"

namespace {

using Clock = std::chrono::steady_clock;

avn_domain_handler* api_handler() {
    avnapi* instance = avn_api_instance();
    return instance != nullptr ? avnapi_get_domain_handler(instance) : nullptr;
}

// Steps the runtime while the handler's public state is `state`, the caller
// wants to go on, and the deadline has not passed.
void wait_while_state(avn_domain_handler* handler, avnapi_runtime* runtime, int state,
                      const volatile int* keep_going, Clock::time_point deadline) {
    while (*keep_going != 0 && avn_domain_handler_get_state(handler) == state &&
           Clock::now() < deadline) {
        step_avn_events_long(runtime);
    }
}

// Identifying, identified, logging in, connecting or connected: anything
// from which only a logout leads back to where an address can be set.
bool past_address(avn_domain_handler* handler) {
    const int state = avn_domain_handler_get_state(handler);
    return state >= AVN_DOMAIN_STATE_IDENTIFYING && state <= AVN_DOMAIN_STATE_CONNECTED;
}

aud_error log_out_locked(avn_domain_handler* handler, avnapi_runtime* runtime) {
    if (!past_address(handler)) {
        return AUD_SUCCESS;
    }
    const aud_error result = avn_domain_handler_logout(handler);
    const int keep_going = 1;
    wait_while_state(handler, runtime, AVN_DOMAIN_STATE_CONNECTED, &keep_going,
                     Clock::now() + std::chrono::milliseconds(kDmConnectLimitMs));
    return result;
}

// A procedure that stops early leaves nothing running: the next login
// starts from a known address.
aud_error give_up(avn_domain_handler* handler, aud_error error) {
    if (past_address(handler)) {
        avn_domain_handler_logout(handler);
    }
    return error;
}

}  // namespace

DmLoginRecord::~DmLoginRecord() {
    OPENSSL_cleanse(password, sizeof password);
}

void copy_login_text(char (&field)[kDmLoginTextSize], const wchar_t* text) {
    std::memset(field, 0, sizeof field);
    if (text == nullptr || text[0] == L'\0') {
        return;
    }
    // Characters are added while they fit, so that a multi-byte character
    // is never cut in two.
    const int limit = static_cast<int>(kDmLoginTextSize) - 1;
    int used = 0;
    for (const wchar_t* next = text; *next != L'\0'; ++next) {
        const int units = (IS_HIGH_SURROGATE(*next) && IS_LOW_SURROGATE(next[1])) ? 2 : 1;
        char bytes[8];
        const int size = WideCharToMultiByte(CP_UTF8, 0, next, units, bytes, sizeof bytes, nullptr,
                                             nullptr);
        const bool fits = size > 0 && used + size <= limit;
        if (fits) {
            std::memcpy(field + used, bytes, static_cast<size_t>(size));
            used += size;
        }
        OPENSSL_cleanse(bytes, sizeof bytes);  // it may hold a password's character
        if (!fits) {
            break;
        }
        next += units - 1;
    }
}

aud_error run_dm_connect_procedure(const DmLoginRecord& record, avn_domain_handler* handler,
                                   avnapi_runtime* runtime, const volatile int* keep_going) {
    if (record.enabled == 0) {
        return AUD_SUCCESS;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kDmConnectLimitMs);
    if (record.address[0] != '\0' && record.port != 0) {
        std::printf("Setting Domain Manager Address\n");
        const aud_error result = avn_domain_handler_set_dm_address(handler, record.address, record.port);
        if (result != AUD_SUCCESS) {
            std::printf("Error setting dm address: %s\n", aud_error_message(result));
            return result;
        }
    } else {
        std::printf("Discovering Domain Manager\n");
        const aud_error result = avn_domain_handler_start_dm_discovery(handler, nullptr);
        if (result != AUD_SUCCESS) {
            std::printf("Error starting dm discovery: %s\n", aud_error_message(result));
            return result;
        }
        wait_while_state(handler, runtime, AVN_DOMAIN_STATE_DISCOVERING, keep_going, deadline);
        if (avn_domain_handler_get_state(handler) != AVN_DOMAIN_STATE_DISCOVERED) {
            avn_domain_handler_stop_dm_discovery(handler);
            std::printf("Unable to discover dm\n");
            return AUD_ERR_NOTFOUND;
        }
        std::printf("Discovered Domain Manager\n");
    }

    aud_error result = avn_domain_handler_identify(handler);
    if (result != AUD_SUCCESS) {
        std::printf("Error initiating identification of the Domain Manager: %s\n",
                    aud_error_message(result));
        return give_up(handler, result);
    }
    wait_while_state(handler, runtime, AVN_DOMAIN_STATE_IDENTIFYING, keep_going, deadline);
    if (avn_domain_handler_get_state(handler) != AVN_DOMAIN_STATE_IDENTIFIED) {
        std::printf("Unable to identify the DM\n");
        return give_up(handler, AUD_ERR_NOTFOUND);
    }
    const char* identity = nullptr;
    result = avn_domain_handler_get_identity(handler, &identity);
    if (result != AUD_SUCCESS) {
        std::printf("Error getting identity of the Domain Manager: %s\n", aud_error_message(result));
        return give_up(handler, result);
    }
    // A server without an identity, or a record without credentials, leaves
    // nobody logged in: that is a failure, not a login.
    if (identity == nullptr || identity[0] == '\0') {
        std::printf("Empty identity for the Domain Manager: %s\n", record.address);
        return give_up(handler, AUD_ERR_NOTFOUND);
    }
    std::printf("Server Identity: %s\n", identity);
    if (record.user_name[0] == '\0' || record.password[0] == '\0') {
        return give_up(handler, AUD_ERR_INVALIDPARAMETER);
    }

    std::printf("Connecting to Domain Manager using credentials provided\n");
    result = avn_domain_handler_login(handler, record.user_name, record.password);
    if (result != AUD_SUCCESS) {
        std::printf("Error initiating connection to Domain Manager: %s\n", aud_error_message(result));
        return give_up(handler, result);
    }
    wait_while_state(handler, runtime, AVN_DOMAIN_STATE_CONNECTING, keep_going, deadline);
    if (avn_domain_handler_get_state(handler) != AVN_DOMAIN_STATE_CONNECTED) {
        // Still on its way when the wait gave up: abandon it.
        std::printf("Unable to connect to the DM\n");
        return give_up(handler, AUD_ERR_NOTFOUND);
    }
    std::printf("Connected to Domain Manager\n");
    std::fflush(stdout);
    return AUD_SUCCESS;
}

aud_error check_domain_manager_connected() {
    avn_api_lock_unbounded();
    avn_domain_handler* handler = api_handler();
    const bool connected =
        handler != nullptr && avn_domain_handler_get_state(handler) == AVN_DOMAIN_STATE_CONNECTED;
    avn_api_unlock();
    return connected ? AUD_SUCCESS : AUD_ERR_NOTCONN;
}

aud_error log_out_domain_manager() {
    avn_api_lock_unbounded();
    aud_error result = AUD_SUCCESS;
    if (avnapi* instance = avn_api_instance()) {
        result = log_out_locked(avnapi_get_domain_handler(instance), avnapi_get_runtime(instance));
    }
    avn_api_unlock();
    return result;
}

aud_error connect_domain_manager(const wchar_t* address, const wchar_t* user_name,
                                 const wchar_t* password, uint16_t port) {
    avn_api_lock_unbounded();
    avnapi* instance = avn_api_instance();
    if (instance == nullptr) {
        avn_api_unlock();
        return AUD_ERR_NOTRUNNING;
    }
    avn_domain_handler* handler = avnapi_get_domain_handler(instance);
    avnapi_runtime* runtime = avnapi_get_runtime(instance);
    log_out_locked(handler, runtime);
    DmLoginRecord record;
    copy_login_text(record.address, address);
    record.port = port;
    copy_login_text(record.user_name, user_name);
    copy_login_text(record.password, password);
    const int keep_going = 1;
    const aud_error result = run_dm_connect_procedure(record, handler, runtime, &keep_going);
    std::fflush(stdout);
    avn_api_unlock();
    return result;
}

const wchar_t* dm_failure_explanation() {
    avn_api_lock_unbounded();
    avn_domain_handler* handler = api_handler();
    const int failure = handler != nullptr ? avn_domain_handler_get_last_failure(handler)
                                           : AVN_DM_FAILURE_NONE;
    avn_api_unlock();
    switch (failure) {
        case AVN_DM_FAILURE_REFUSED:
            return L"The user name or password was not accepted.";
        case AVN_DM_FAILURE_UNREACHABLE:
            return L"No Domain Manager answered at this address.";
        case AVN_DM_FAILURE_UNTRUSTED:
            return L"The Domain Manager's certificate is not trusted.";
        case AVN_DM_FAILURE_MALFORMED:
            return L"The Domain Manager's answer could not be read.";
        case AVN_DM_FAILURE_LOST:
            return L"The connection to the Domain Manager was lost.";
        default:
            return nullptr;
    }
}
