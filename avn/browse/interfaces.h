// The computer's IPv4 network interfaces: one `aud_interface` record per
// adapter that the system reports, in a fixed order (ordinary adapters first,
// then loopback, wireless, virtual, FireWire and Bluetooth ones; by interface
// index within a kind), and lookups by index and of the loopback interface.
//
// The platform files (interfaces_linux.cpp, interfaces_win32.cpp) gather the
// facts; everything that decides something from those facts lives here as a
// pure function, so that it behaves and is tested the same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_format.h"
#include "avn/runtime/socket.h"

enum : size_t {
    AUD_INTERFACE_NAME_SIZE = 64,  // UTF-16 units, with the terminating zero
    AUD_INTERFACE_MAC_SIZE = 6,
    AUD_INTERFACE_DNS_SUFFIX_SIZE = 64,     // bytes, with the terminating zero
    AUD_INTERFACE_ADAPTER_NAME_SIZE = 256,  // bytes, with the terminating zero
};

// How an interface is classified; the list is sorted by this value first.
enum aud_interface_kind : uint32_t {
    AUD_INTERFACE_KIND_UNKNOWN = 0,
    AUD_INTERFACE_KIND_ORDINARY = 1,
    AUD_INTERFACE_KIND_LOOPBACK = 2,
    AUD_INTERFACE_KIND_WIRELESS = 3,
    AUD_INTERFACE_KIND_VIRTUAL = 4,
    AUD_INTERFACE_KIND_FIREWIRE = 5,
    AUD_INTERFACE_KIND_BLUETOOTH = 6,
};

// Addresses are IPv4 socket address records (port 0); a record of length 0
// is absent.
struct aud_interface {
    // The adapter's friendly name (or its adapter name when it has none).
    char16_t name[AUD_INTERFACE_NAME_SIZE];
    uint32_t index;  // the IPv4 interface index
    uint32_t kind;   // an aud_interface_kind
    uint8_t mac_address[AUD_INTERFACE_MAC_SIZE];
    aud_socket_address address;  // the first unicast address
    aud_socket_address netmask;  // the mask of the first prefix; absent without address or prefix
    uint32_t link_speed;         // megabits per second; 0 when unknown or down
    bool up;                     // operational status up
    bool loopback;
    bool multicast;                 // false only when the adapter says it cannot do multicast
    uint16_t pktinfo_index;         // the index's low 16 bits
    aud_socket_address gateway;     // the first IPv4 default gateway
    aud_socket_address dns_server;  // the first IPv4 DNS server
    char dns_suffix[AUD_INTERFACE_DNS_SUFFIX_SIZE];
    char adapter_name[AUD_INTERFACE_ADAPTER_NAME_SIZE];  // the system's own name
};

// Log levels of the list's diagnostic lines, numbered as the AVN log numbers them.
enum : int {
    AUD_INTERFACE_LOG_WARNING = 3,
    AUD_INTERFACE_LOG_DEBUG = 6,
};

// Receives one diagnostic line (with its line end) and its level.
typedef void (*aud_interface_log_fn)(void* context, int level, const char* line);

// ---- The list and its lookups ----

// Lists the interfaces, sorted by kind and then by interface index. On success
// *interfaces is a new array of *count records (release it with
// aud_interface_list_free), or null with a count of 0 when there are none.
// INVALIDPARAMETER without the out parameters; NOMEMORY frees everything.
// The environment (which may be none) receives the diagnostic lines in its log.
aud_error aud_interface_list_with_env(aud_env* env, aud_interface** interfaces, size_t* count);

// The same without an environment, so without diagnostic lines.
aud_error aud_interface_list(aud_interface** interfaces, size_t* count);

void aud_interface_list_free(aud_interface* interfaces);

// Copies the interface with this index into *found (which may be null, to ask
// whether there is one). NOTFOUND when none is listed.
aud_error aud_interface_find_by_index(aud_interface* found, uint32_t index);

// Copies the first interface whose loopback flag is set. INVALIDPARAMETER
// without `found`, NOTFOUND when there is none.
aud_error aud_interface_find_loopback(aud_interface* found);

// ---- Pure pieces shared by the platform files ----

// The platform's list, handing the diagnostic lines to `log` (which may be null).
aud_error aud_interface_list_with_log(aud_interface_log_fn log, void* context,
                                      aud_interface** interfaces, size_t* count);

// An address record from a network-order IPv4 address; 0 gives an absent record.
void aud_interface_set_address(aud_socket_address* out, uint32_t network_order_address);
// The network-order IPv4 address of a record, 0 when it is absent.
uint32_t aud_interface_get_address(const aud_socket_address* address);

// Sort order: kind, then interface index, both ascending.
bool aud_interface_order_before(const aud_interface* a, const aud_interface* b);
// Sorts a list into that order; records that tie keep their order.
void aud_interface_sort(aud_interface* interfaces, size_t count);

// The lookups over a given list (`found` may be null for the index lookup).
aud_error aud_interface_select_by_index(const aud_interface* interfaces, size_t count,
                                        uint32_t index, aud_interface* found);
aud_error aud_interface_select_loopback(const aud_interface* interfaces, size_t count,
                                        aud_interface* found);

// How one value of the adapter's registry connection key was read.
enum aud_interface_value_state : uint32_t {
    AUD_INTERFACE_VALUE_READ = 0,
    AUD_INTERFACE_VALUE_NOT_FOUND = 1,  // the key has no such value
    AUD_INTERFACE_VALUE_FAILED = 2,     // any other failure
};

// What Windows says about one adapter: its interface type and the values of
// its network connection key.
struct aud_interface_registry_facts {
    uint32_t if_type;  // IANA interface type: 24 software loopback, 71 IEEE 802.11
    bool key_opened;   // the connection key could be opened
    aud_interface_value_state media_subtype_state;
    bool media_subtype_is_dword;
    uint32_t media_subtype;
    aud_interface_value_state pnp_instance_id_state;
    bool pnp_instance_id_is_string;
    const char* pnp_instance_id;  // zero-terminated text when it is a string, else unused
};

aud_interface_kind aud_interface_kind_from_registry(const aud_interface_registry_facts* facts);

// What Linux says about one interface.
struct aud_interface_sysfs_facts {
    bool loopback;        // IFF_LOOPBACK
    uint32_t arp_type;    // the hardware type (ARPHRD_*), 0 when unknown
    bool wireless;        // has a wireless directory or a phy80211 link
    bool virtual_device;  // its device lies under /sys/devices/virtual
    const char* devtype;  // DEVTYPE of its uevent ("wlan", "bluetooth", ...), or null
};

aud_interface_kind aud_interface_kind_from_sysfs(const aud_interface_sysfs_facts* facts);

// Formats one diagnostic line and hands it to `log`, if there is one.
void aud_interface_log_printf(aud_interface_log_fn log, void* context, int level,
                              const char* format, ...) AUD_FORMAT_CHECK(4, 5);

// Sets the index and pktinfo_index; an index that does not fit in 16 bits
// writes a Warning line naming the adapter.
void aud_interface_set_index(aud_interface* record, uint32_t index, aud_interface_log_fn log,
                             void* context);

// Link speed in megabits per second from the adapter's transmit and receive
// speeds in bits per second. 0 for an interface that is down. Sets
// *ask_interface_row when the speeds do not settle it (they differ, are
// unknown, or give 0) and the interface's own row should be asked instead.
uint32_t aud_interface_link_speed(bool up, uint64_t transmit_bps, uint64_t receive_bps,
                                  bool* ask_interface_row);
// Megabits per second from bits per second, capped at the 32-bit range.
uint32_t aud_interface_mbps_from_bps(uint64_t bps);

// The network-order mask with the top `prefix_length` bits set (at most 32).
uint32_t aud_interface_netmask_from_prefix(uint32_t prefix_length);

// Copies a name into the record's name field, truncated to fit without
// splitting a surrogate pair; UTF-8 input with bad sequences gets U+FFFD.
void aud_interface_set_name_utf16(aud_interface* record, const char16_t* text, size_t length);
void aud_interface_set_name_utf8(aud_interface* record, const char* text, size_t length);

// Strict dotted-quad IPv4 text to a network-order address. False for anything else.
bool aud_interface_parse_ipv4(const char* text, size_t length, uint32_t* address);

// Reads resolver configuration text (resolv.conf syntax): the first IPv4
// name server (0 when none) and the first domain of the last "search" or
// "domain" line (empty when none, or when it does not fit in suffix_size).
void aud_interface_parse_resolver_config(const char* text, size_t length, uint32_t* dns_server,
                                         char* suffix, size_t suffix_size);

// Reads a kernel routing table (/proc/net/route syntax): the gateway of the
// first usable default route through interface `name`, or 0.
uint32_t aud_interface_parse_route_table(const char* text, size_t length, const char* name);

// Reads a /sys attribute holding one decimal number (a link speed in
// megabits per second, a hardware type); 0 for a negative, missing or
// malformed value, and at most the 32-bit range.
uint32_t aud_interface_parse_sysfs_number(const char* text, size_t length);
