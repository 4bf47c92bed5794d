#include "cli/cli_domain.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <istream>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include <openssl/crypto.h>

#include "avn/api/avn_access.h"
#include "avn/api/avnapi.h"
#include "avn/domain/dm_diagnostics.h"
#include "avn/domain/domain_handler.h"
#include "avn/domain/secret_buffer.h"
#include "cli/cli_output.h"
#include "cli/environment.h"
#include "cli/cli_runner.h"
#include "device/avn_cloud.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPoll = std::chrono::milliseconds(20);
constexpr const char* kPasswordVariable = "TPX2CTL_PASSWORD";
// The longest password taken, in bytes (UTF-8).
constexpr size_t kMaxPasswordBytes = 1023;
// Each exchange with a Domain Manager (finding it, identify, login, the TLS
// connection and the domain list) may take this long unless --timeout says
// otherwise: a login over a wide-area link or to the AVN Cloud needs a
// second or two per exchange, a server on the LAN a few milliseconds.
constexpr uint32_t kDmExchangeDefaultMs = 15000;

uint32_t exchange_limit_ms(const CliOptions& options) {
    return options.timeout_given ? options.timeout_ms : kDmExchangeDefaultMs;
}

// The first line of standard input, read a byte at a time into a buffer
// that is wiped afterwards (no growing string leaves copies behind).
std::optional<CliDmFailure> read_password_line(std::istream& in, SecretBuffer* password) {
    char buffer[kMaxPasswordBytes + 2];
    size_t length = 0;
    bool too_long = false;
    char c = 0;
    while (in.get(c) && c != '\n') {
        if (length < sizeof buffer) {
            buffer[length++] = c;
        } else {
            too_long = true;  // read on to the line's end, keep nothing more
        }
    }
    if (length > 0 && buffer[length - 1] == '\r') {
        --length;
    }
    too_long = too_long || length > kMaxPasswordBytes;
    const bool stored = !too_long && password->assign(std::string_view(buffer, length));
    OPENSSL_cleanse(buffer, sizeof buffer);
    OPENSSL_cleanse(&c, sizeof c);
    if (!stored) {
        return CliDmFailure{kExitUsage, "the password on standard input is longer than " +
                                            std::to_string(kMaxPasswordBytes) + " bytes"};
    }
    return std::nullopt;
}

// The environment's password, taken out of the environment: wiped where it
// stood and the variable removed, so that no child process inherits it.
std::optional<CliDmFailure> take_password_from_environment(SecretBuffer* password) {
    char* value = std::getenv(kPasswordVariable);
    if (value == nullptr) {
        return CliDmFailure{kExitUsage, std::string("no password: give it on standard input with "
                                                    "--password-stdin, or in ") +
                                            kPasswordVariable};
    }
    const size_t length = std::strlen(value);
    const bool stored = length <= kMaxPasswordBytes && password->assign(std::string_view(value, length));
    OPENSSL_cleanse(value, length);
    remove_environment_variable(kPasswordVariable);
    if (!stored) {
        return CliDmFailure{kExitUsage, std::string(kPasswordVariable) + " is longer than " +
                                            std::to_string(kMaxPasswordBytes) + " bytes"};
    }
    return std::nullopt;
}

std::optional<CliDmFailure> read_password(const CliOptions& options, std::istream& in,
                                          SecretBuffer* password) {
    return options.dm.password_stdin ? read_password_line(in, password)
                                     : take_password_from_environment(password);
}

// The handler's failures, as the event loop reports them.
struct FailureRecorder {
    std::mutex mutex;
    std::optional<aud_error> error;
};

void record_failure(void* context, const avn_domain_handler_event* event) {
    if ((avn_domain_handler_event_get_flags(event) & AVN_DOMAIN_EVENT_ERROR) == 0) {
        return;
    }
    auto* recorder = static_cast<FailureRecorder*>(context);
    std::lock_guard lock(recorder->mutex);
    recorder->error = avn_domain_handler_event_get_error(event);
}

FailureRecorder recorder;

avn_domain_handler* handler_of_api() {
    avnapi* api = avn_api_instance();
    return api != nullptr ? avnapi_get_domain_handler(api) : nullptr;
}

std::string where(const avn_domain_handler* handler) {
    const char* host = nullptr;
    uint16_t port = 0;
    if (avn_domain_handler_get_dm_address(handler, &host, &port) != AUD_SUCCESS) {
        return "the Domain Manager";
    }
    return "the Domain Manager at " + std::string(host) + ":" + std::to_string(port);
}

CliDmFailure failure_of(const avn_domain_handler* handler, const std::string& user) {
    switch (avn_domain_handler_get_last_failure(handler)) {
    case AVN_DM_FAILURE_REFUSED:
        return {kExitDmRefused, where(handler) + " refused the login for '" + user + "'"};
    case AVN_DM_FAILURE_UNTRUSTED:
        return {kExitDmUntrusted, where(handler) +
                                      " could not be trusted: its certificate, CA or key check failed"};
    case AVN_DM_FAILURE_UNREACHABLE:
        return {kExitServicesUnavailable, "no Domain Manager answers: " + where(handler) +
                                              " could not be reached"};
    case AVN_DM_FAILURE_LOST:
        return {kExitServicesUnavailable, "the connection to " + where(handler) + " was lost"};
    case AVN_DM_FAILURE_MALFORMED:
        return {kExitFailure, where(handler) + " gave an answer that could not be read"};
    default:
        return {kExitFailure, "the login to " + where(handler) + " failed"};
    }
}

// Waits, polling under the AVN API mutex, until `done` holds (true), a
// failure is reported or the time is up (false). The limit bounds each
// exchange, not their sum: every step the handler takes (identified,
// logging in, connecting, waiting for the list) starts it again.
template <typename Done>
bool wait_for(uint32_t limit_ms, Done done) {
    const auto limit = std::chrono::milliseconds(limit_ms);
    auto deadline = Clock::now() + limit;
    int last_state = -1;
    for (;;) {
        {
            AvnApiLock lock(1000);
            avn_domain_handler* handler = lock ? handler_of_api() : nullptr;
            if (handler != nullptr && done(handler)) {
                return true;
            }
            const int state = handler != nullptr ? avn_domain_handler_get_internal_state(handler) : -1;
            if (state != last_state) {
                last_state = state;
                deadline = Clock::now() + limit;
            }
        }
        {
            std::lock_guard guard(recorder.mutex);
            if (recorder.error) {
                return false;
            }
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

// What the Domain Manager was still to do when the wait gave up.
std::string unfinished_step(const avn_domain_handler* handler) {
    switch (avn_domain_handler_get_internal_state(handler)) {
    case AVN_DOMAIN_HANDLER_STATE_IDENTIFYING:
        return "did not answer the identification";
    case AVN_DOMAIN_HANDLER_STATE_LOGGING_IN:
        return "did not answer the login";
    case AVN_DOMAIN_HANDLER_STATE_TLS_OPENING:
        return "did not open its connection";
    case AVN_DOMAIN_HANDLER_STATE_WAITING_FOR_LIST:
        return "did not send its domain list";
    default:
        return "did not complete the login";
    }
}

std::optional<CliDmFailure> find_domain_manager(const CliOptions& options, avn_domain_handler* handler) {
    const CliDomainManager& dm = options.dm;
    if (dm.mode == CliDmMode::Address || dm.mode == CliDmMode::Cloud) {
        const AvnCloudEndpoint cloud = avn_cloud_endpoint();
        const bool address = dm.mode == CliDmMode::Address;
        const aud_error result = avn_domain_handler_set_dm_address(
            handler, address ? dm.host.c_str() : cloud.host.c_str(), address ? dm.port : cloud.port);
        if (result != AUD_SUCCESS) {
            return CliDmFailure{kExitFailure, std::string("the Domain Manager's address was not taken: ") +
                                                  aud_error_message(result)};
        }
        return std::nullopt;
    }
    if (dm.dns) {
        aud_socket_address server{};
        aud_socket_address_from_text(&server, AUD_AF_INET, dm.dns->host.c_str(), dm.dns->port);
        avn_domain_handler_set_dm_dns_override(handler, &server, "avn.test");
    }
    const aud_error result = avn_domain_handler_start_dm_discovery(handler, nullptr);
    if (result != AUD_SUCCESS) {
        return CliDmFailure{kExitServicesUnavailable,
                            std::string("cannot look for a Domain Manager: ") + aud_error_message(result)};
    }
    return std::nullopt;
}

// Makes the named domain the current one.
std::optional<CliDmFailure> choose_domain(const std::string& name, uint32_t limit_ms) {
    AvnApiLock lock(limit_ms);
    avn_domain_handler* handler = lock ? handler_of_api() : nullptr;
    if (handler == nullptr) {
        return CliDmFailure{kExitServicesUnavailable, "the AVN API is not running"};
    }
    const avn_domain_info found = avn_domain_handler_get_domain_by_name(handler, name.c_str());
    if (avn_domain_uuid_is_none(&found.uuid) || avn_domain_uuid_is_adhoc(&found.uuid)) {
        std::string offered;
        for (size_t i = 0; i < avn_domain_handler_get_domain_count(handler); ++i) {
            const avn_domain_info info = avn_domain_handler_get_domain_at(handler, i);
            if (!avn_domain_uuid_is_adhoc(&info.uuid)) {
                offered += (offered.empty() ? "" : ", ") + std::string(info.name);
            }
        }
        return CliDmFailure{kExitUsage, "the Domain Manager offers no domain called '" + name +
                                            "' (offered: " + (offered.empty() ? "none" : offered) + ")"};
    }
    const aud_error result = avn_domain_handler_set_current_domain(handler, &found.uuid);
    if (result != AUD_SUCCESS) {
        return CliDmFailure{kExitFailure, "the domain '" + name + "' could not be chosen: " +
                                              aud_error_message(result)};
    }
    return std::nullopt;
}

}  // namespace

DmLogin::DmLogin(const CliOptions& options, std::istream& in) {
    if (options.dm.mode == CliDmMode::None) {
        return;
    }
    // A failure is told in one sentence of ours; the library's own lines
    // (and the TLS client's, on standard output) only when asked for.
    dm_diagnostics_set_enabled(options.verbose);
    const uint32_t limit_ms = exchange_limit_ms(options);
    SecretBuffer password;
    if ((failure_ = read_password(options, in, &password))) {
        return;
    }
    {
        std::lock_guard guard(recorder.mutex);
        recorder.error.reset();
    }
    set_domain_change_callback(record_failure, &recorder);
    {
        AvnApiLock lock(options.timeout_ms);
        avn_domain_handler* handler = lock ? handler_of_api() : nullptr;
        if (handler == nullptr) {
            failure_ = CliDmFailure{kExitServicesUnavailable, "the AVN API is not running"};
            return;
        }
        if ((failure_ = find_domain_manager(options, handler))) {
            return;
        }
    }
    if (options.dm.mode == CliDmMode::Discover &&
        !wait_for(limit_ms, [](avn_domain_handler* handler) {
            return avn_domain_handler_get_internal_state(handler) == AVN_DOMAIN_HANDLER_STATE_DISCOVERED;
        })) {
        failure_ = CliDmFailure{kExitServicesUnavailable,
                                "no Domain Manager found (DNS service default._avn-dm-c._tcp) within " +
                                    std::to_string(limit_ms) + " ms"};
        return;
    }
    {
        AvnApiLock lock(options.timeout_ms);
        avn_domain_handler* handler = lock ? handler_of_api() : nullptr;
        const aud_error result = handler != nullptr
                                     ? avn_domain_handler_login(handler, options.dm.user.c_str(), password.c_str())
                                     : AUD_ERR_NOTRUNNING;
        password.clear();
        if (result != AUD_SUCCESS) {
            failure_ = CliDmFailure{kExitFailure, std::string("the login could not start: ") +
                                                      aud_error_message(result)};
            return;
        }
        logged_in_ = true;
    }
    // Connected once the domain list has come.
    if (!wait_for(limit_ms, [](avn_domain_handler* handler) {
            return avn_domain_handler_get_internal_state(handler) == AVN_DOMAIN_HANDLER_STATE_CONNECTED;
        })) {
        AvnApiLock lock(1000);
        avn_domain_handler* handler = lock ? handler_of_api() : nullptr;
        std::lock_guard guard(recorder.mutex);
        if (handler != nullptr && recorder.error) {
            failure_ = failure_of(handler, options.dm.user);
        } else {
            failure_ = CliDmFailure{kExitServicesUnavailable,
                                    (handler != nullptr ? where(handler) + " " + unfinished_step(handler)
                                                        : std::string("the Domain Manager did not complete the login")) +
                                        " within " + std::to_string(limit_ms) + " ms"};
        }
        return;
    }
    if (!options.dm.domain.empty()) {
        failure_ = choose_domain(options.dm.domain, options.timeout_ms);
    }
}

DmLogin::~DmLogin() {
    set_domain_change_callback(nullptr, nullptr);
    if (!logged_in_) {
        return;
    }
    AvnApiLock lock(1000);
    if (avn_domain_handler* handler = lock ? handler_of_api() : nullptr) {
        avn_domain_handler_logout(handler);
    }
}

int run_domains(const CliOptions& options, std::ostream& out) {
    std::vector<DomainEntry> domains;
    {
        AvnApiLock lock(options.timeout_ms);
        avn_domain_handler* handler = lock ? handler_of_api() : nullptr;
        if (handler == nullptr) {
            return kExitServicesUnavailable;
        }
        const avn_domain_uuid current = avn_domain_handler_get_current_uuid(handler);
        for (size_t i = 0; i < avn_domain_handler_get_domain_count(handler); ++i) {
            const avn_domain_info info = avn_domain_handler_get_domain_at(handler, i);
            if (avn_domain_uuid_is_adhoc(&info.uuid)) {
                continue;  // no managed domain: not one of the Domain Manager's
            }
            domains.push_back({info.name, info.id, avn_domain_uuid_compare(&info.uuid, &current) == 0});
        }
    }
    out << format_domains(domains, options.json);
    return kExitSuccess;
}
