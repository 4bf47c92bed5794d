#include "cli/cli_domain.h"

#include <chrono>
#include <cstdlib>
#include <istream>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include <openssl/crypto.h>

#include "avn/api/avn_access.h"
#include "avn/api/avnapi.h"
#include "avn/domain/domain_handler.h"
#include "avn/domain/secret_buffer.h"
#include "cli/cli_output.h"
#include "cli/cli_runner.h"
#include "device/avn_cloud.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPoll = std::chrono::milliseconds(20);
constexpr const char* kPasswordVariable = "TPX2CTL_PASSWORD";

// The first line of standard input, or the environment's password.
std::optional<CliDmFailure> read_password(const CliOptions& options, std::istream& in,
                                          SecretBuffer* password) {
    if (options.dm.password_stdin) {
        std::string line;
        std::getline(in, line);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const bool stored = password->assign(line);
        OPENSSL_cleanse(line.data(), line.size());
        if (!stored) {
            return CliDmFailure{kExitUsage, "the password on standard input is too long"};
        }
        return std::nullopt;
    }
    const char* from_environment = std::getenv(kPasswordVariable);
    if (from_environment == nullptr) {
        return CliDmFailure{kExitUsage, std::string("no password: give it on standard input with "
                                                    "--password-stdin, or in ") +
                                            kPasswordVariable};
    }
    password->assign(from_environment);
    return std::nullopt;
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
// failure is reported or the time is up (false).
template <typename Done>
bool wait_for(uint32_t limit_ms, Done done) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        {
            AvnApiLock lock(1000);
            avn_domain_handler* handler = lock ? handler_of_api() : nullptr;
            if (handler != nullptr && done(handler)) {
                return true;
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
        !wait_for(options.timeout_ms, [](avn_domain_handler* handler) {
            return avn_domain_handler_get_internal_state(handler) == AVN_DOMAIN_HANDLER_STATE_DISCOVERED;
        })) {
        failure_ = CliDmFailure{kExitServicesUnavailable,
                                "no Domain Manager found (DNS service default._avn-dm-c._tcp) within " +
                                    std::to_string(options.timeout_ms) + " ms"};
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
    if (!wait_for(options.timeout_ms, [](avn_domain_handler* handler) {
            return avn_domain_handler_get_internal_state(handler) == AVN_DOMAIN_HANDLER_STATE_CONNECTED;
        })) {
        AvnApiLock lock(1000);
        avn_domain_handler* handler = lock ? handler_of_api() : nullptr;
        std::lock_guard guard(recorder.mutex);
        if (handler != nullptr && recorder.error) {
            failure_ = failure_of(handler, options.dm.user);
        } else {
            failure_ = CliDmFailure{kExitServicesUnavailable,
                                    (handler != nullptr ? where(handler) : std::string("the Domain Manager")) +
                                        " did not complete the login within " +
                                        std::to_string(options.timeout_ms) + " ms"};
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
