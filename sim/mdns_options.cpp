#include "sim/mdns_options.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "sim/command_line.h"

namespace sim {

namespace {

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// "NAME;STRING;STRING..." into an override; an error line or empty.
std::string add_txt_override(std::string_view value, MdnsSettings* settings) {
    MdnsTxtOverride entry;
    size_t start = 0;
    bool first = true;
    while (start <= value.size()) {
        const size_t end = std::min(value.find(';', start), value.size());
        const std::string_view part = value.substr(start, end - start);
        if (first) {
            entry.device = std::string(part);
            first = false;
        } else if (part.size() > 255) {
            return "--mdns-txt: a TXT string has at most 255 bytes";
        } else {
            entry.strings.emplace_back(part);
        }
        start = end + 1;
    }
    if (entry.device.empty()) {
        return "--mdns-txt: needs a device name before the first ';'";
    }
    settings->txt_overrides.push_back(std::move(entry));
    return {};
}

}  // namespace

void add_mdns_options(CLI::App& app, MdnsSettings* settings) {
    add_switch(app, "--mdns", &settings->enabled,
               "advertise every device by DNS-SD (multicast DNS)")
        ->group(kNetworkGroup);
    add_value_option(
        app, "--mdns-interface", "NAME",
        [settings](std::string_view value) {
            settings->interface_name = std::string(value);
            return std::string{};
        },
        "interface to advertise on (default lo; \"\" for every\nmulticast interface)")
        ->group(kNetworkGroup);
    add_value_option(
        app, "--mdns-control", "PORT",
        [settings](std::string_view value) -> std::string {
            const auto port = parse_number<uint16_t>(value);
            if (!port) {
                return "--mdns-control: not a port number: '" + std::string(value) + "'";
            }
            settings->control = true;
            settings->control_port = *port;
            return {};
        },
        "UDP port on 127.0.0.1 for run-time commands: \"add\nNAME [maker=TEXT] [model=N]\", "
        "\"remove NAME\",\n"
        "\"drop NAME\", \"list\" (0: any free port, printed in the\nlog)")
        ->group(kNetworkGroup);
    add_value_option(
        app, "--mdns-ttl", "SECONDS",
        [settings](std::string_view value) -> std::string {
            const auto ttl = parse_number<uint32_t>(value);
            if (!ttl || *ttl == 0) {
                return "--mdns-ttl: not a number of seconds above 0: '" + std::string(value) + "'";
            }
            settings->ttl = *ttl;
            return {};
        },
        "lifetime of every record (default 120 for SRV and\nA, 4500 for PTR and TXT)")
        ->group(kNetworkGroup);
    add_value_option(
        app, "--mdns-txt", "\"NAME;STRING;...\"",
        [settings](std::string_view value) { return add_txt_override(value, settings); },
        "the conmon TXT record of device NAME, string by\nstring (replaces the one made from its "
        "identity;\n"
        "repeatable)")
        ->group(kNetworkGroup);
}

}  // namespace sim
