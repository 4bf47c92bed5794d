#include "sim/mdns_options.h"

#include <charconv>
#include <optional>

namespace sim {

namespace {

const char kUsage[] =
    "\n"
    "DNS-SD responder (multicast DNS):\n"
    "  --mdns                   advertise every device by DNS-SD\n"
    "  --mdns-interface NAME    interface to advertise on (default lo; \"\" for every\n"
    "                           multicast interface)\n"
    "  --mdns-control PORT      UDP port on 127.0.0.1 for run-time commands: \"add NAME\n"
    "                           [maker=TEXT] [model=N]\", \"remove NAME\", \"drop NAME\",\n"
    "                           \"list\" (0: any free port, printed in the log)\n"
    "  --mdns-ttl SECONDS       lifetime of every record (default 120 for SRV and A,\n"
    "                           4500 for PTR and TXT)\n"
    "  --mdns-txt \"NAME;STRING;STRING...\"\n"
    "                           the conmon TXT record of device NAME, string by string\n"
    "                           (replaces the one made from its identity; repeatable)\n";

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

MdnsOptionMatch parse_mdns_option(std::span<const std::string_view> arguments, size_t index,
                                  MdnsSettings* settings) {
    if (index >= arguments.size() || settings == nullptr) {
        return {};
    }
    const std::string_view argument = arguments[index];
    const size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    const bool has_inline_value = equals != std::string_view::npos;
    const std::string option(name);
    if (name == "--mdns") {
        if (has_inline_value) {
            return {1, option + " takes no value"};
        }
        settings->enabled = true;
        return {1, {}};
    }
    if (name != "--mdns-interface" && name != "--mdns-control" && name != "--mdns-ttl" &&
        name != "--mdns-txt") {
        return {};
    }
    MdnsOptionMatch match{1, {}};
    std::string_view value;
    if (has_inline_value) {
        value = argument.substr(equals + 1);
    } else if (index + 1 < arguments.size()) {
        value = arguments[index + 1];
        match.taken = 2;
    } else {
        match.error = option + " needs a value";
        return match;
    }
    if (name == "--mdns-interface") {
        settings->interface_name = std::string(value);
    } else if (name == "--mdns-control") {
        const auto port = parse_number<uint16_t>(value);
        if (!port) {
            match.error = option + ": not a port number: '" + std::string(value) + "'";
        } else {
            settings->control = true;
            settings->control_port = *port;
        }
    } else if (name == "--mdns-ttl") {
        const auto ttl = parse_number<uint32_t>(value);
        if (!ttl || *ttl == 0) {
            match.error =
                option + ": not a number of seconds above 0: '" + std::string(value) + "'";
        } else {
            settings->ttl = *ttl;
        }
    } else {
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
                match.error = option + ": a TXT string has at most 255 bytes";
                return match;
            } else {
                entry.strings.emplace_back(part);
            }
            start = end + 1;
        }
        if (entry.device.empty()) {
            match.error = option + ": needs a device name before the first ';'";
        } else {
            settings->txt_overrides.push_back(std::move(entry));
        }
    }
    return match;
}

const char* mdns_usage() {
    return kUsage;
}

}  // namespace sim
