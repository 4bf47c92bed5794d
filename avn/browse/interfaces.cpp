#include "avn/browse/interfaces.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "avn/runtime/aud_log.h"
#include "avn/runtime/byte_order.h"

namespace {

constexpr uint32_t kIfTypeSoftwareLoopback = 24;
constexpr uint32_t kIfTypeIeee80211 = 71;

constexpr uint32_t kArpTypeIeee1394 = 24;
constexpr uint32_t kArpTypeLoopback = 772;
constexpr uint32_t kArpTypeIeee80211 = 801;  // and 802, 803: monitor modes
constexpr uint32_t kArpTypeIeee80211Radiotap = 803;

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        const auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(text[i]) != lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

uint32_t network_order(uint32_t host_value) {
    uint8_t bytes[4];
    byte_order::store_be32(bytes, host_value);
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Splits `line` into blank-separated tokens, at most `max` of them.
size_t split_tokens(std::string_view line, std::string_view* tokens, size_t max) {
    size_t count = 0;
    size_t i = 0;
    while (i < line.size() && count < max) {
        while (i < line.size() && is_blank(line[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && !is_blank(line[i])) {
            ++i;
        }
        if (i > start) {
            tokens[count++] = line.substr(start, i - start);
        }
    }
    return count;
}

// Calls `each` with every line of `text`, without its line end.
template <typename Each>
void for_each_line(const char* text, size_t length, Each each) {
    std::string_view rest(text, length);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (!each(line)) {
            return;
        }
        if (end == std::string_view::npos) {
            return;
        }
        rest.remove_prefix(end + 1);
    }
}

bool parse_hex32(std::string_view token, uint32_t* value) {
    if (token.empty() || token.size() > 8) {
        return false;
    }
    uint32_t result = 0;
    for (char c : token) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        result = (result << 4) | digit;
    }
    *value = result;
    return true;
}

// Decodes the character at the start of `bytes` (length at least 1) and
// advances *position past it; a bad sequence gives U+FFFD for its first byte.
uint32_t decode_utf8(const unsigned char* bytes, size_t length, size_t* position) {
    constexpr uint32_t kReplacement = 0xFFFD;
    const unsigned char lead = bytes[0];
    *position += 1;
    if (lead < 0x80) {
        return lead;
    }
    size_t extra = 0;
    uint32_t code = 0;
    uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        code = lead & 0x1Fu;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        code = lead & 0x0Fu;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        code = lead & 0x07u;
        minimum = 0x10000;
    } else {
        return kReplacement;
    }
    if (extra >= length) {
        return kReplacement;
    }
    for (size_t k = 1; k <= extra; ++k) {
        if ((bytes[k] & 0xC0u) != 0x80u) {
            return kReplacement;
        }
        code = (code << 6) | (bytes[k] & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return kReplacement;
    }
    *position += extra;
    return code;
}

}  // namespace

void aud_interface_log_printf(aud_interface_log_fn log, void* context, int level,
                              const char* format, ...) {
    if (log == nullptr) {
        return;
    }
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    log(context, level, line);
}

// ---- Order and lookups ----

bool aud_interface_order_before(const aud_interface* a, const aud_interface* b) {
    if (a->kind != b->kind) {
        return a->kind < b->kind;
    }
    return a->index < b->index;
}

void aud_interface_sort(aud_interface* interfaces, size_t count) {
    if (interfaces == nullptr || count < 2) {
        return;
    }
    // stable_sort falls back to sorting in place when it cannot get a buffer.
    std::stable_sort(interfaces, interfaces + count,
                     [](const aud_interface& a, const aud_interface& b) {
                         return aud_interface_order_before(&a, &b);
                     });
}

aud_error aud_interface_select_by_index(const aud_interface* interfaces, size_t count,
                                        uint32_t index, aud_interface* found) {
    for (size_t i = 0; interfaces != nullptr && i < count; ++i) {
        if (interfaces[i].index == index) {
            if (found != nullptr) {
                *found = interfaces[i];
            }
            return AUD_SUCCESS;
        }
    }
    return AUD_ERR_NOTFOUND;
}

aud_error aud_interface_select_loopback(const aud_interface* interfaces, size_t count,
                                        aud_interface* found) {
    if (found == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    for (size_t i = 0; interfaces != nullptr && i < count; ++i) {
        if (interfaces[i].loopback) {
            *found = interfaces[i];
            return AUD_SUCCESS;
        }
    }
    return AUD_ERR_NOTFOUND;
}

aud_error aud_interface_list(aud_interface** interfaces, size_t* count) {
    return aud_interface_list_with_log(nullptr, nullptr, interfaces, count);
}

aud_error aud_interface_list_with_env(aud_env* env, aud_interface** interfaces, size_t* count) {
    aud_log* log = env != nullptr ? aud_env_get_log(env) : nullptr;
    if (log == nullptr) {
        return aud_interface_list_with_log(nullptr, nullptr, interfaces, count);
    }
    // The list's levels are numbered as the environment's log numbers them.
    const aud_interface_log_fn to_log = [](void* context, int level, const char* line) {
        aud_log_printf(static_cast<aud_log*>(context), level, "%s", line);
    };
    return aud_interface_list_with_log(to_log, log, interfaces, count);
}

void aud_interface_set_address(aud_socket_address* out, uint32_t network_order_address) {
    *out = aud_socket_address{};
    if (network_order_address == 0) {
        return;
    }
    uint8_t bytes[4];
    std::memcpy(bytes, &network_order_address, sizeof bytes);
    aud_socket_address_set_ipv4(out, byte_order::load_be32(bytes), 0);
}

uint32_t aud_interface_get_address(const aud_socket_address* address) {
    if (address == nullptr || address->length == 0 || !aud_socket_address_is_ipv4(address)) {
        return 0;
    }
    return network_order(aud_socket_address_get_ipv4(address));
}

void aud_interface_list_free(aud_interface* interfaces) {
    std::free(interfaces);
}

aud_error aud_interface_find_by_index(aud_interface* found, uint32_t index) {
    aud_interface* interfaces = nullptr;
    size_t count = 0;
    const aud_error error = aud_interface_list(&interfaces, &count);
    if (error != AUD_SUCCESS) {
        return error;
    }
    const aud_error result = aud_interface_select_by_index(interfaces, count, index, found);
    aud_interface_list_free(interfaces);
    return result;
}

aud_error aud_interface_find_loopback(aud_interface* found) {
    if (found == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_interface* interfaces = nullptr;
    size_t count = 0;
    const aud_error error = aud_interface_list(&interfaces, &count);
    if (error != AUD_SUCCESS) {
        return error;
    }
    const aud_error result = aud_interface_select_loopback(interfaces, count, found);
    aud_interface_list_free(interfaces);
    return result;
}

// ---- Classification ----

aud_interface_kind aud_interface_kind_from_registry(const aud_interface_registry_facts* facts) {
    if (facts->if_type == kIfTypeSoftwareLoopback) {
        return AUD_INTERFACE_KIND_LOOPBACK;
    }
    if (facts->if_type == kIfTypeIeee80211) {
        return AUD_INTERFACE_KIND_WIRELESS;
    }
    if (!facts->key_opened) {
        return AUD_INTERFACE_KIND_ORDINARY;
    }
    // A missing media subtype says nothing; an unreadable one ends the search.
    if (facts->media_subtype_state == AUD_INTERFACE_VALUE_FAILED) {
        return AUD_INTERFACE_KIND_ORDINARY;
    }
    if (facts->media_subtype_state == AUD_INTERFACE_VALUE_READ && facts->media_subtype_is_dword) {
        switch (facts->media_subtype) {
            case 2:
                return AUD_INTERFACE_KIND_WIRELESS;
            case 5:
                return AUD_INTERFACE_KIND_FIREWIRE;
            case 9:
                return AUD_INTERFACE_KIND_BLUETOOTH;
            default:
                break;
        }
    }
    if (facts->pnp_instance_id_state != AUD_INTERFACE_VALUE_READ) {
        return AUD_INTERFACE_KIND_ORDINARY;
    }
    if (!facts->pnp_instance_id_is_string || facts->pnp_instance_id == nullptr) {
        return AUD_INTERFACE_KIND_UNKNOWN;
    }
    // Device instance ids are case-insensitive.
    const std::string_view id(facts->pnp_instance_id);
    if (starts_with_ignoring_case(id, "BTH\\") || starts_with_ignoring_case(id, "BLUETOOTH\\")) {
        return AUD_INTERFACE_KIND_BLUETOOTH;
    }
    if (starts_with_ignoring_case(id, "V1394\\")) {
        return AUD_INTERFACE_KIND_FIREWIRE;
    }
    if (starts_with_ignoring_case(id, "ROOT\\")) {
        return AUD_INTERFACE_KIND_VIRTUAL;
    }
    return AUD_INTERFACE_KIND_ORDINARY;
}

aud_interface_kind aud_interface_kind_from_sysfs(const aud_interface_sysfs_facts* facts) {
    const std::string_view devtype = facts->devtype != nullptr ? facts->devtype : "";
    // Loopback first: the loopback device is itself a virtual device.
    if (facts->loopback || facts->arp_type == kArpTypeLoopback) {
        return AUD_INTERFACE_KIND_LOOPBACK;
    }
    if (facts->wireless || devtype == "wlan" ||
        (facts->arp_type >= kArpTypeIeee80211 && facts->arp_type <= kArpTypeIeee80211Radiotap)) {
        return AUD_INTERFACE_KIND_WIRELESS;
    }
    if (facts->arp_type == kArpTypeIeee1394) {
        return AUD_INTERFACE_KIND_FIREWIRE;
    }
    if (devtype == "bluetooth") {
        return AUD_INTERFACE_KIND_BLUETOOTH;
    }
    if (facts->virtual_device) {
        return AUD_INTERFACE_KIND_VIRTUAL;
    }
    return AUD_INTERFACE_KIND_ORDINARY;
}

// ---- Record fields ----

void aud_interface_set_index(aud_interface* record, uint32_t index, aud_interface_log_fn log,
                             void* context) {
    record->index = index;
    record->pktinfo_index = static_cast<uint16_t>(index & 0xFFFFu);
    if (index > 0xFFFFu) {
        aud_interface_log_printf(
            log, context, AUD_INTERFACE_LOG_WARNING,
            "%s: Possible windows interface index corruption: interface %s claims to have "
            "index %d.Setting pktinfo_index to %d.\n",
            "aud_interface_list_with_env", record->adapter_name, static_cast<int>(index),
            static_cast<int>(record->pktinfo_index));
    }
}

uint32_t aud_interface_mbps_from_bps(uint64_t bps) {
    const uint64_t mbps = bps / 1000000u;
    return mbps > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mbps);
}

uint32_t aud_interface_link_speed(bool up, uint64_t transmit_bps, uint64_t receive_bps,
                                  bool* ask_interface_row) {
    *ask_interface_row = false;
    if (!up) {
        return 0;
    }
    // All ones is how adapters say that they do not know their speed.
    if (transmit_bps == receive_bps && transmit_bps != UINT64_MAX) {
        const uint32_t speed = aud_interface_mbps_from_bps(transmit_bps);
        if (speed != 0) {
            return speed;
        }
    }
    *ask_interface_row = true;
    return 0;
}

uint32_t aud_interface_netmask_from_prefix(uint32_t prefix_length) {
    if (prefix_length == 0) {
        return 0;
    }
    const uint32_t bits = prefix_length >= 32 ? 32 : prefix_length;
    const uint32_t host_mask = bits == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> bits);
    return network_order(host_mask);
}

void aud_interface_set_name_utf16(aud_interface* record, const char16_t* text, size_t length) {
    size_t n = 0;
    while (n < length && n < AUD_INTERFACE_NAME_SIZE - 1 && text[n] != 0) {
        ++n;
    }
    // Never keep the first half of a surrogate pair without its second half.
    if (n > 0 && n < length && text[n] != 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) {
        --n;
    }
    std::memcpy(record->name, text, n * sizeof(char16_t));
    record->name[n] = 0;
}

void aud_interface_set_name_utf8(aud_interface* record, const char* text, size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    char16_t units[AUD_INTERFACE_NAME_SIZE + 1];  // room for a pair at the very end
    size_t n = 0;
    size_t i = 0;
    while (i < length && bytes[i] != 0 && n < AUD_INTERFACE_NAME_SIZE - 1) {
        uint32_t code = decode_utf8(bytes + i, length - i, &i);
        if (code >= 0x10000) {
            code -= 0x10000;
            units[n++] = static_cast<char16_t>(0xD800 + (code >> 10));
            units[n++] = static_cast<char16_t>(0xDC00 + (code & 0x3FFu));
        } else {
            units[n++] = static_cast<char16_t>(code);
        }
    }
    aud_interface_set_name_utf16(record, units, n);
}

// ---- Parsers of system text ----

bool aud_interface_parse_ipv4(const char* text, size_t length, uint32_t* address) {
    uint32_t value = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= length || text[i] != '.') {
                return false;
            }
            ++i;
        }
        size_t digits = 0;
        uint32_t number = 0;
        while (i < length && text[i] >= '0' && text[i] <= '9' && digits < 3) {
            number = number * 10 + static_cast<uint32_t>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || number > 255) {
            return false;
        }
        value = (value << 8) | number;
    }
    if (i != length) {
        return false;
    }
    *address = network_order(value);
    return true;
}

void aud_interface_parse_resolver_config(const char* text, size_t length, uint32_t* dns_server,
                                         char* suffix, size_t suffix_size) {
    *dns_server = 0;
    std::string_view last_search;
    for_each_line(text, length, [&](std::string_view line) {
        std::string_view tokens[2];
        const size_t count = split_tokens(line, tokens, 2);
        if (count < 2 || tokens[0].front() == '#' || tokens[0].front() == ';') {
            return true;
        }
        if (tokens[0] == "nameserver" && *dns_server == 0) {
            uint32_t address = 0;
            if (aud_interface_parse_ipv4(tokens[1].data(), tokens[1].size(), &address) &&
                address != 0) {
                *dns_server = address;
            }
        } else if (tokens[0] == "search" || tokens[0] == "domain") {
            // The last of these lines is the one in force.
            last_search = tokens[1];
        }
        return true;
    });
    if (suffix == nullptr || suffix_size == 0) {
        return;
    }
    suffix[0] = '\0';
    // The root domain is no suffix; a name cut short would name another domain.
    if (last_search.empty() || last_search == "." || last_search.size() >= suffix_size) {
        return;
    }
    std::memcpy(suffix, last_search.data(), last_search.size());
    suffix[last_search.size()] = '\0';
}

uint32_t aud_interface_parse_route_table(const char* text, size_t length, const char* name) {
    constexpr uint32_t kRouteUp = 0x1;
    constexpr uint32_t kRouteGateway = 0x2;
    const std::string_view wanted = name != nullptr ? name : "";
    uint32_t gateway = 0;
    for_each_line(text, length, [&](std::string_view line) {
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        std::string_view tokens[8];
        if (split_tokens(line, tokens, 8) < 8 || tokens[0] != wanted) {
            return true;
        }
        uint32_t destination = 0;
        uint32_t via = 0;
        uint32_t flags = 0;
        uint32_t mask = 0;
        if (!parse_hex32(tokens[1], &destination) || !parse_hex32(tokens[2], &via) ||
            !parse_hex32(tokens[3], &flags) || !parse_hex32(tokens[7], &mask)) {
            return true;
        }
        // The kernel prints each address as the number whose bytes in memory are
        // the address in network order, which is how the record holds it.
        if (destination == 0 && mask == 0 && via != 0 && (flags & kRouteUp) != 0 &&
            (flags & kRouteGateway) != 0) {
            gateway = via;
            return false;
        }
        return true;
    });
    return gateway;
}

uint32_t aud_interface_parse_sysfs_number(const char* text, size_t length) {
    size_t i = 0;
    while (i < length && is_blank(text[i])) {
        ++i;
    }
    if (i < length && text[i] == '+') {
        ++i;
    }
    uint64_t value = 0;
    size_t digits = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') {
        if (value <= UINT32_MAX) {
            value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        }
        ++i;
        ++digits;
    }
    while (i < length && (is_blank(text[i]) || text[i] == '\n')) {
        ++i;
    }
    if (digits == 0 || i != length) {
        return 0;
    }
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}
