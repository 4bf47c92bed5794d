#include "sim/cmm/cmm_options.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "sim/command_line.h"

namespace sim {

namespace {

constexpr size_t kMaxNameUnits = CMM_INTERFACE_NAME_SIZE - 1;
constexpr uint32_t kLongestApplyDelayMs = 60000;
// Default MACs are locally administered: 02 'S' 'I' 'M' 00 and the
// network's position from 1.
constexpr MacAddress kDefaultMacPrefix = {0x02, 0x53, 0x49, 0x4d, 0x00, 0x00};

MacAddress default_mac(size_t position) {
    MacAddress mac = kDefaultMacPrefix;
    mac[5] = static_cast<uint8_t>(position + 1);
    return mac;
}

// Decimal, or hexadecimal after "0x"; the whole text must be the number.
template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.front() == '-' || text.front() == '+') {
        return std::nullopt;
    }
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// NAME[,mac=XX:XX:XX:XX:XX:XX], appended to the networks; an error line or
// empty.
std::string add_network(std::string_view text, std::vector<CmmNetwork>* networks) {
    const std::string quoted = "--network '" + std::string(text) + "'";
    const size_t comma = text.find(',');
    const std::string_view name_text = text.substr(0, comma);
    if (name_text.empty()) {
        return quoted + ": the name is empty";
    }
    const std::optional<std::u16string> name = utf8_to_utf16(name_text);
    if (!name) {
        return quoted + ": the name is not valid UTF-8";
    }
    if (name->size() > kMaxNameUnits) {
        return quoted + ": the name is longer than 63 UTF-16 units";
    }
    for (const CmmNetwork& network : *networks) {
        if (network.name == *name) {
            return quoted + ": a network of that name is already offered";
        }
    }
    if (networks->size() >= CMM_MAX_OPTIONS) {
        return quoted + ": at most 16 networks can be offered";
    }

    CmmNetwork network{*name, default_mac(networks->size())};
    bool mac_given = false;
    std::string_view rest =
        comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    // Each round takes one KEY=VALUE; bounded by the text's length.
    while (comma != std::string_view::npos) {
        const size_t next = rest.find(',');
        const std::string_view item = rest.substr(0, next);
        const size_t equals = item.find('=');
        const std::string_view key = item.substr(0, equals);
        if (equals == std::string_view::npos || !equal_ignoring_case(key, "mac")) {
            return quoted + ": unknown key '" + std::string(key) + "' (only mac=)";
        }
        if (mac_given) {
            return quoted + ": mac given twice";
        }
        const std::optional<MacAddress> mac = parse_mac(item.substr(equals + 1));
        if (!mac) {
            return quoted + ": not a MAC address XX:XX:XX:XX:XX:XX: '" +
                   std::string(item.substr(equals + 1)) + "'";
        }
        if (*mac == MacAddress{}) {
            return quoted + ": the MAC address 00:00:00:00:00:00 names no interface";
        }
        network.mac = *mac;
        mac_given = true;
        if (next == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(next + 1);
    }

    // Every client is sent all offered networks in one OPTIONS message.
    std::vector<CmmNetwork> offered = *networks;
    offered.push_back(network);
    const cmm_options record = cmm_options_record(offered);
    dgcp2_message scratch;
    dgcp2_message_init(&scratch, CMM_HEADER_TYPE);
    if (cmm_encode_options(&scratch, &record) != AUD_SUCCESS) {
        return quoted + ": the offered networks' names are too long for one message";
    }
    networks->push_back(std::move(network));
    return {};
}

}  // namespace

std::vector<CmmNetwork> default_cmm_networks() {
    return {{u"Ethernet", default_mac(0)}, {u"Ethernet 2", default_mac(1)}};
}

std::vector<CmmNetwork> offered_networks(const CmmSettings& settings) {
    return settings.networks.empty() ? default_cmm_networks() : settings.networks;
}

cmm_interface cmm_interface_record(const CmmNetwork& network) {
    cmm_interface out;
    std::memset(&out, 0, sizeof out);
    std::copy_n(network.name.begin(), std::min(network.name.size(), kMaxNameUnits), out.name);
    std::copy(network.mac.begin(), network.mac.end(), out.mac);
    return out;
}

cmm_options cmm_options_record(const std::vector<CmmNetwork>& networks) {
    cmm_options options;
    std::memset(&options, 0, sizeof options);
    const size_t count = std::min(networks.size(), size_t{CMM_MAX_OPTIONS});
    options.count = static_cast<uint16_t>(count);
    for (size_t i = 0; i < count; ++i) {
        options.interfaces[i] = cmm_interface_record(networks[i]);
    }
    return options;
}

void add_cmm_options(CLI::App& app, CmmSettings* settings) {
    add_value_option(
        app, "--cmm-port", "PORT",
        [settings](std::string_view value) -> std::string {
            const std::optional<uint16_t> port = parse_number<uint16_t>(value);
            if (!port) {
                return "--cmm-port: not a port number (0 to 65535): '" + std::string(value) + "'";
            }
            settings->port = *port;
            return {};
        },
        "the connection manager's UDP port on 127.0.0.1\n(default 8850; 0: any free port)")
        ->group(kNetworkGroup);
    add_value_option(
        app, "--network", "NAME[,mac=XX:XX:XX:XX:XX:XX]",
        [settings](std::string_view value) { return add_network(value, &settings->networks); },
        "a network interface the connection manager offers,\nin order (may be repeated; at most "
        "16; names of 1\n"
        "to 63 UTF-16 units, without commas). The first is\nthe configuration in force at start. "
        "Default MAC\n"
        "02:53:49:4d:00:NN, NN the position from 1. With\nnone given: \"Ethernet\" and \"Ethernet "
        "2\".")
        ->group(kNetworkGroup);
    const auto delay = [](const char* name, std::chrono::milliseconds* target) {
        return [name, target](std::string_view value) -> std::string {
            const std::optional<uint32_t> ms = parse_number<uint32_t>(value);
            if (!ms || *ms > kLongestApplyDelayMs) {
                return std::string(name) + ": not a delay of 0 to 60000 milliseconds: '" +
                       std::string(value) + "'";
            }
            *target = std::chrono::milliseconds(*ms);
            return {};
        };
    };
    add_value_option(
        app, "--cmm-apply-delay", "MS", delay("--cmm-apply-delay", &settings->apply_delay),
        "a configuration change stays \"Changing\" this long\nbefore it is \"Ready\" (default 200; "
        "at most 60000)")
        ->group(kNetworkGroup);
    add_value_option(
        app, "--cmm-connect-delay", "MS", delay("--cmm-connect-delay", &settings->connect_delay),
        "the connection manager answers each CONNECT this\nmuch later (default 0; at most 60000)")
        ->group(kFaultsGroup);
    add_switch(app, "--cmm-silent", &settings->silent,
               "the connection manager reads every datagram and\nanswers nothing, sends no "
               "keepalives (clients "
               "give\nup after 31 s)")
        ->group(kFaultsGroup);
    add_switch(app, "--cmm-refuse", &settings->refuse, "answer every CONNECT with \"Server error\"")
        ->group(kFaultsGroup);
}

std::string parse_cmm_options(std::span<const std::string_view> arguments, CmmSettings* settings) {
    CLI::App app("The connection manager's options.", "avn-sim");
    add_cmm_options(app, settings);
    return parse_command_line(app, arguments).error;
}

std::optional<std::u16string> utf8_to_utf16(std::string_view text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<uint8_t>(text[i]);
        size_t length = 0;
        uint32_t code = 0;
        uint32_t least = 0;  // the smallest code point of this length
        if (byte < 0x80) {
            length = 1;
            code = byte;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            code = byte & 0x1Fu;
            least = 0x80;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            code = byte & 0x0Fu;
            least = 0x800;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            code = byte & 0x07u;
            least = 0x10000;
        } else {
            return std::nullopt;
        }
        if (text.size() - i < length) {
            return std::nullopt;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return std::nullopt;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

std::optional<MacAddress> parse_mac(std::string_view text) {
    // "XX:XX:XX:XX:XX:XX"
    constexpr size_t kTextLength = CMM_MAC_SIZE * 3 - 1;
    if (text.size() != kTextLength) {
        return std::nullopt;
    }
    MacAddress mac{};
    for (size_t i = 0; i < CMM_MAC_SIZE; ++i) {
        const size_t at = i * 3;
        if (i > 0 && text[at - 1] != ':') {
            return std::nullopt;
        }
        const int high = hex_digit(text[at]);
        const int low = hex_digit(text[at + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        mac[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return mac;
}

std::string mac_text(const MacAddress& mac) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < mac.size(); ++i) {
        if (i > 0) {
            out.push_back(':');
        }
        out.push_back(kDigits[mac[i] >> 4]);
        out.push_back(kDigits[mac[i] & 0xF]);
    }
    return out;
}

}  // namespace sim
