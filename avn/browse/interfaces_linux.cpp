// The interface list on Linux: getifaddrs for the interfaces, their flags,
// hardware and IPv4 addresses; /sys/class/net for operational state, speed and
// classification; the kernel routing table for the default gateway; and the
// resolver configuration for the DNS server and search suffix, which apply to
// every interface but loopback.

#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "avn/browse/interfaces.h"

namespace {

constexpr char kClassNet[] = "/sys/class/net/";
constexpr char kResolverConfig[] = "/etc/resolv.conf";
constexpr char kRouteTable[] = "/proc/net/route";

constexpr size_t kAttributeLimit = 4096;
constexpr size_t kResolverConfigLimit = 64 * 1024;
constexpr size_t kRouteTableLimit = 1024 * 1024;

struct Pending {
    std::string name;  // the interface's own name, without any ":label"
    uint32_t index = 0;
    unsigned int flags = 0;
    bool have_link = false;  // flags came from the link entry itself
    uint8_t mac[AUD_INTERFACE_MAC_SIZE] = {};
    uint32_t address = 0;
    uint32_t netmask = 0;
};

struct FreeIfaddrs {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

struct FreeRecords {
    void operator()(aud_interface* records) const { aud_interface_list_free(records); }
};

// Reads at most `limit` bytes of a file; false when it cannot be opened or read.
bool read_file(const std::string& path, size_t limit, std::string* text) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    text->clear();
    char buffer[4096];
    bool ok = true;
    while (text->size() < limit) {
        const size_t want = std::min(sizeof buffer, limit - text->size());
        const ssize_t got = read(fd, buffer, want);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        text->append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return ok;
}

bool path_exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// A name that is safe to put into a path below /sys/class/net.
bool usable_name(std::string_view name) {
    return !name.empty() && name.size() < AUD_INTERFACE_ADAPTER_NAME_SIZE && name != "." &&
           name != ".." && name.find('/') == std::string_view::npos;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// "DEVTYPE=wlan" in a uevent file gives "wlan".
std::string uevent_devtype(std::string_view uevent) {
    constexpr std::string_view key = "DEVTYPE=";
    while (!uevent.empty()) {
        const size_t end = uevent.find('\n');
        const std::string_view line = uevent.substr(0, end);
        if (line.size() > key.size() && line.substr(0, key.size()) == key) {
            return std::string(trimmed(line.substr(key.size())));
        }
        if (end == std::string_view::npos) {
            break;
        }
        uevent.remove_prefix(end + 1);
    }
    return {};
}

aud_interface_kind classify(const std::string& directory, unsigned int flags) {
    std::string text;
    aud_interface_sysfs_facts facts{};
    facts.loopback = (flags & IFF_LOOPBACK) != 0;
    if (read_file(directory + "type", kAttributeLimit, &text)) {
        facts.arp_type = aud_interface_parse_sysfs_number(text.data(), text.size());
    }
    facts.wireless = path_exists(directory + "wireless") || path_exists(directory + "phy80211");
    std::string devtype;
    if (read_file(directory + "uevent", kAttributeLimit, &text)) {
        devtype = uevent_devtype(text);
    }
    facts.devtype = devtype.c_str();
    // /sys/class/net/<name> links to the device's place in /sys/devices.
    char target[1024];
    const std::string link = directory.substr(0, directory.size() - 1);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0) {
        const std::string_view place(target, static_cast<size_t>(length));
        facts.virtual_device = place.find("/devices/virtual/") != std::string_view::npos;
    } else {
        facts.virtual_device = !path_exists(directory + "device");
    }
    return aud_interface_kind_from_sysfs(&facts);
}

// The kernel says "unknown" for drivers that do not track their operational
// state (the loopback device among them); those count as up when running.
bool operationally_up(const std::string& directory, unsigned int flags) {
    const bool running = (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
    std::string text;
    if (!read_file(directory + "operstate", kAttributeLimit, &text)) {
        return running;
    }
    const std::string_view state = trimmed(text);
    return state == "up" || (state == "unknown" && running);
}

Pending* pending_for(std::vector<Pending>* pending, std::string_view name) {
    for (Pending& entry : *pending) {
        if (entry.name == name) {
            return &entry;
        }
    }
    pending->emplace_back();
    pending->back().name = std::string(name);
    return &pending->back();
}

void take_entry(const ifaddrs& entry, Pending* into) {
    const sockaddr* address = entry.ifa_addr;
    if (address == nullptr) {
        if (!into->have_link) {
            into->flags = entry.ifa_flags;
        }
        return;
    }
    if (address->sa_family == AF_PACKET) {
        const auto* link = reinterpret_cast<const sockaddr_ll*>(address);
        into->index = static_cast<uint32_t>(link->sll_ifindex);
        into->flags = entry.ifa_flags;
        into->have_link = true;
        if (link->sll_halen == AUD_INTERFACE_MAC_SIZE) {
            std::memcpy(into->mac, link->sll_addr, AUD_INTERFACE_MAC_SIZE);
        }
        return;
    }
    if (!into->have_link) {
        into->flags = entry.ifa_flags;
    }
    if (address->sa_family == AF_INET && into->address == 0) {
        const auto* inet = reinterpret_cast<const sockaddr_in*>(address);
        into->address = inet->sin_addr.s_addr;
        const sockaddr* mask = entry.ifa_netmask;
        if (into->address != 0 && mask != nullptr && mask->sa_family == AF_INET) {
            into->netmask = reinterpret_cast<const sockaddr_in*>(mask)->sin_addr.s_addr;
        }
    }
}

struct Shared {
    uint32_t dns_server = 0;
    char dns_suffix[AUD_INTERFACE_DNS_SUFFIX_SIZE] = {};
    std::string routes;
};

void fill_record(const Pending& from, const Shared& shared, aud_interface_log_fn log, void* context,
                 aud_interface* record) {
    const std::string directory = std::string(kClassNet) + from.name + "/";
    record->kind = classify(directory, from.flags);
    aud_interface_set_name_utf8(record, from.name.data(), from.name.size());
    std::memcpy(record->adapter_name, from.name.data(), from.name.size());
    record->adapter_name[from.name.size()] = '\0';
    aud_interface_set_index(record, from.index, log, context);

    std::memcpy(record->mac_address, from.mac, AUD_INTERFACE_MAC_SIZE);
    aud_interface_set_address(&record->address, from.address);
    aud_interface_set_address(&record->netmask, from.address != 0 ? from.netmask : 0);
    aud_interface_set_address(
        &record->gateway, aud_interface_parse_route_table(shared.routes.data(),
                                                          shared.routes.size(), from.name.c_str()));
    record->loopback = (from.flags & IFF_LOOPBACK) != 0;
    if (!record->loopback) {
        aud_interface_set_address(&record->dns_server, shared.dns_server);
        std::memcpy(record->dns_suffix, shared.dns_suffix, sizeof record->dns_suffix);
    }

    record->up = operationally_up(directory, from.flags);
    record->multicast = (from.flags & IFF_MULTICAST) != 0;
    uint32_t speed = 0;
    std::string text;
    if (record->up && read_file(directory + "speed", kAttributeLimit, &text)) {
        speed = aud_interface_parse_sysfs_number(text.data(), text.size());
    }
    const unsigned long long bps = static_cast<unsigned long long>(speed) * 1000000u;
    aud_interface_log_printf(log, context, AUD_INTERFACE_LOG_DEBUG, "%s: UP=%u TX=%llu RX=%llu\n",
                             "aud_interface_list_with_env", record->up ? 1u : 0u, bps, bps);
    record->link_speed = speed;
}

aud_error list_interfaces(aud_interface_log_fn log, void* context, aud_interface** interfaces,
                          size_t* count) {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        return aud_error_from_last_system_error();
    }
    const std::unique_ptr<ifaddrs, FreeIfaddrs> list(raw);

    std::vector<Pending> pending;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) {
            continue;
        }
        // Address labels ("eth0:1") belong to the interface before the colon.
        std::string_view name(entry->ifa_name);
        name = name.substr(0, name.find(':'));
        if (!usable_name(name)) {
            continue;
        }
        take_entry(*entry, pending_for(&pending, name));
    }

    Shared shared;
    std::string text;
    if (read_file(kResolverConfig, kResolverConfigLimit, &text)) {
        aud_interface_parse_resolver_config(text.data(), text.size(), &shared.dns_server,
                                            shared.dns_suffix, sizeof shared.dns_suffix);
    }
    read_file(kRouteTable, kRouteTableLimit, &shared.routes);

    size_t listed = 0;
    for (Pending& entry : pending) {
        if (entry.index == 0) {
            entry.index = if_nametoindex(entry.name.c_str());
        }
        // An interface without an index has gone away since it was reported.
        if (entry.index != 0) {
            ++listed;
        }
    }
    if (listed == 0) {
        return AUD_SUCCESS;
    }
    std::unique_ptr<aud_interface, FreeRecords> records(
        static_cast<aud_interface*>(std::calloc(listed, sizeof(aud_interface))));
    if (records == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    size_t filled = 0;
    for (const Pending& entry : pending) {
        if (entry.index != 0) {
            fill_record(entry, shared, log, context, &records.get()[filled++]);
        }
    }
    aud_interface_sort(records.get(), filled);
    *interfaces = records.release();
    *count = filled;
    return AUD_SUCCESS;
}

}  // namespace

aud_error aud_interface_list_with_log(aud_interface_log_fn log, void* context,
                                      aud_interface** interfaces, size_t* count) {
    if (interfaces == nullptr || count == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *interfaces = nullptr;
    *count = 0;
    try {
        return list_interfaces(log, context, interfaces, count);
    } catch (const std::bad_alloc&) {
        return AUD_ERR_NOMEMORY;
    }
}
