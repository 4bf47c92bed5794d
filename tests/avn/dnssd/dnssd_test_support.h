// Helpers for tests of the DNS-SD client against the simulator's responder:
// the namespace guard, a processing loop with a time limit, and collectors
// of what the callbacks report.
#pragma once

#include <net/if.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "avn/dnssd/dnssd.h"
#include "avn/dnssd/mdns_socket.h"

namespace dnssd_test {

// Multicast tests run only inside the private network namespace that the
// test script makes: its only interfaces are loopback and those the tests
// create themselves (named "dnssd..."). Anywhere else they are skipped, so
// nothing is ever sent on the machine's real interfaces.
inline bool in_private_namespace() {
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr) {
        return false;
    }
    bool private_only = true;
    for (const struct if_nameindex* entry = list; entry->if_index != 0; ++entry) {
        const std::string name = entry->if_name;
        if (name != "lo" && name.rfind("dnssd", 0) != 0) {
            private_only = false;
        }
    }
    if_freenameindex(list);
    return private_only && if_nametoindex("lo") != 0;
}

// Processes the references' results until `done` holds or the limit passes.
inline bool pump_until(const std::vector<DNSServiceRef>& refs, const std::function<bool()>& done,
                       std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        std::vector<mdns::socket_t> sockets;
        for (DNSServiceRef ref : refs) {
            sockets.push_back(DNSServiceRefSockFD(ref));
        }
        std::unique_ptr<bool[]> flags(new bool[refs.size()]());
        mdns::wait_readable(sockets.data(), sockets.size(), static_cast<int>(left.count()),
                            flags.get());
        for (size_t i = 0; i < refs.size(); ++i) {
            if (flags[i]) {
                DNSServiceProcessResult(refs[i]);
            }
        }
    }
    return true;
}

struct BrowseEvent {
    DNSServiceFlags flags;
    uint32_t interface_index;
    std::string name;
    std::string type;
    std::string domain;
};

struct Browsed {
    std::vector<BrowseEvent> events;
    std::map<std::string, uint32_t> present;  // instance name -> interface

    static void callback(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                         DNSServiceErrorType error, const char* name, const char* type,
                         const char* domain, void* context) {
        auto* self = static_cast<Browsed*>(context);
        if (error != kDNSServiceErr_NoError) {
            return;
        }
        self->events.push_back({flags, interface_index, name, type, domain});
        if ((flags & kDNSServiceFlagsAdd) != 0) {
            self->present[name] = interface_index;
        } else {
            self->present.erase(name);
        }
    }
};

struct Resolved {
    bool done = false;
    uint32_t interface_index = 0;
    std::string full_name;
    std::string host;
    uint16_t port_network_order = 0;
    std::vector<uint8_t> txt;

    static void callback(DNSServiceRef, DNSServiceFlags, uint32_t interface_index,
                         DNSServiceErrorType error, const char* full_name, const char* host,
                         uint16_t port, uint16_t txt_length, const unsigned char* txt,
                         void* context) {
        auto* self = static_cast<Resolved*>(context);
        if (error != kDNSServiceErr_NoError) {
            return;
        }
        self->done = true;
        self->interface_index = interface_index;
        self->full_name = full_name;
        self->host = host;
        self->port_network_order = port;
        self->txt.assign(txt, txt + txt_length);
    }

    // The value of a TXT key, or "<absent>".
    std::string value(const char* key) const {
        uint8_t length = 0;
        const void* value =
            TXTRecordGetValuePtr(static_cast<uint16_t>(txt.size()), txt.data(), key, &length);
        if (value == nullptr) {
            return TXTRecordContainsKey(static_cast<uint16_t>(txt.size()), txt.data(), key)
                       ? std::string()
                       : std::string("<absent>");
        }
        return std::string(static_cast<const char*>(value), length);
    }
};

struct RecordEvent {
    DNSServiceFlags flags;
    uint32_t interface_index;
    std::string name;
    uint16_t type;
    std::vector<uint8_t> rdata;
    uint32_t ttl;
};

struct Queried {
    std::vector<RecordEvent> events;
    int present = 0;

    static void callback(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                         DNSServiceErrorType error, const char* name, uint16_t type, uint16_t,
                         uint16_t length, const void* rdata, uint32_t ttl, void* context) {
        auto* self = static_cast<Queried*>(context);
        if (error != kDNSServiceErr_NoError) {
            return;
        }
        const auto* bytes = static_cast<const uint8_t*>(rdata);
        self->events.push_back(
            {flags, interface_index, name, type, std::vector<uint8_t>(bytes, bytes + length), ttl});
        self->present += (flags & kDNSServiceFlagsAdd) != 0 ? 1 : -1;
    }
};

}  // namespace dnssd_test
