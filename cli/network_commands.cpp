#include "cli/network_commands.h"

#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

#include "avn/api/avn_access.h"
#include "cli/cli_error.h"
#include "cli/cli_output.h"
#include "cli/cli_runner.h"
#include "device/text_utf8.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPollMs = 50;

// The connection manager's interface names are UTF-16.
std::string utf8_from_utf16(const char16_t* text, size_t max) {
    std::string out;
    for (size_t i = 0; i < max && text[i] != 0; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < max && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::u16string utf16_from_utf8(const std::string& text) {
    std::u16string out;
    for (wchar_t c : wide_from_utf8(text)) {
        // Wide text is UTF-32 on some platforms: split what lies above the BMP.
        const char32_t code = static_cast<char32_t>(c);
        if (code >= 0x10000) {
            const char32_t v = code - 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
            continue;
        }
        out += static_cast<char16_t>(code);
    }
    return out;
}

struct NetworkView {
    std::vector<NetworkEntry> entries;
    std::optional<std::string> current;  // "" for none
    uint16_t status = CMM_STATUS_UNKNOWN;
};

// The connection manager's options and state, once it has sent its options.
std::optional<NetworkView> read_networks(uint32_t limit_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        {
            AvnApiLock lock(1000);
            cmm_client* client = lock ? avn_api_cmm_client() : nullptr;
            const cmm_options* options = client != nullptr ? cmm_client_get_options(client) : nullptr;
            // The options and the state arrive as two events: the interface
            // in force is known only once both are in.
            const cmm_state* state = client != nullptr ? cmm_client_get_state(client) : nullptr;
            if (options != nullptr && state != nullptr) {
                NetworkView view;
                view.status = state->status;
                const cmm_interface_set* set = cmm_state_get_current_config(state);
                const cmm_interface* first = set != nullptr ? cmm_interface_list_get(set, 0) : nullptr;
                view.current = first != nullptr
                                   ? utf8_from_utf16(cmm_interface_get_name(first), CMM_INTERFACE_NAME_SIZE)
                                   : std::string{};
                for (size_t i = 0; i < cmm_interface_list_count(options); ++i) {
                    const cmm_interface* entry = cmm_interface_list_get(options, i);
                    std::string name = utf8_from_utf16(cmm_interface_get_name(entry), CMM_INTERFACE_NAME_SIZE);
                    view.entries.push_back({name, view.current && *view.current == name && !name.empty()});
                }
                return view;
            }
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

CliError no_options() {
    return {kExitServicesUnavailable, "the connection manager sent no network interfaces"};
}

}  // namespace

int run_networks(const CliOptions& options, std::ostream& out, std::ostream& err) {
    const auto view = read_networks(options.timeout_ms);
    if (!view) {
        return print_error(err, no_options());
    }
    out << format_networks(view->entries, options.json);
    return kExitSuccess;
}

int run_use_network(const CliOptions& options, std::ostream& out, std::ostream& err) {
    const auto view = read_networks(options.timeout_ms);
    if (!view) {
        return print_error(err, no_options());
    }
    const bool none = options.network == "None";
    bool offered = none;
    std::string names;
    for (const NetworkEntry& entry : view->entries) {
        offered = offered || entry.name == options.network;
        names += (names.empty() ? "" : ", ") + entry.name;
    }
    if (!offered) {
        return print_error(err, {kExitUsage, "no network called '" + options.network + "' (offered: " +
                                                 (names.empty() ? "none" : names) + ", or None)"});
    }
    const std::string wanted = none ? std::string{} : options.network;
    {
        AvnApiLock lock(options.timeout_ms);
        cmm_client* client = lock ? avn_api_cmm_client() : nullptr;
        cmm_interface_set* set = client != nullptr ? cmm_client_get_config_buffer(client) : nullptr;
        if (set == nullptr) {
            return print_error(err, {kExitServicesUnavailable, "the connection manager is not reachable"});
        }
        const std::u16string name = utf16_from_utf8(wanted);
        cmm_interface_set_clear(set);
        if (!none) {
            cmm_interface_set_add_by_name(set, cmm_client_get_options(client), name.c_str());
        }
        cmm_interface_set_add_none(set);
        cmm_system_config config{CMM_CONFIG_INTERFACES, set, 0};
        if (const aud_error result = cmm_client_set_system_config(client, &config); result != AUD_SUCCESS) {
            return print_error(err, {kExitFailure, std::string("the connection manager refused the change: ") +
                                                       aud_error_message(result)});
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
    for (;;) {
        const auto now_view = read_networks(options.timeout_ms);
        if (now_view && now_view->status == CMM_STATUS_READY && now_view->current == wanted) {
            out << format_networks(now_view->entries, options.json);
            return kExitSuccess;
        }
        if (Clock::now() >= deadline) {
            return print_error(err, {kExitFailure, "the connection manager did not apply '" + options.network +
                                                       "' within " + std::to_string(options.timeout_ms) + " ms"});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}
