// The interface list on Windows: the IP helper's adapter list (IPv4 only) for
// the interfaces and their addresses, its interface table for link speeds the
// adapter list leaves open, and each adapter's network connection key in the
// registry for its classification.

// The IP helper header needs the socket and Windows headers before it.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

#include "avn/browse/interfaces.h"

namespace {

// Include prefixes and gateways; leave out anycast and multicast addresses.
constexpr ULONG kAdapterFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                GAA_FLAG_INCLUDE_PREFIX | GAA_FLAG_INCLUDE_GATEWAYS;
static_assert(kAdapterFlags == 0x96);
constexpr ULONG kFirstBufferSize = 376;
// The list may grow between asking for its size and fetching it.
constexpr int kFetchAttempts = 4;

constexpr char kConnectionKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\%s"
    "\\Connection";
constexpr DWORD kPnpInstanceIdSize = 1024;

constexpr char kFunction[] = "aud_interface_list_with_env";

struct FreeMemory {
    void operator()(void* memory) const { std::free(memory); }
};

struct CloseKey {
    void operator()(HKEY key) const { RegCloseKey(key); }
};

// Fetches the adapter list into *buffer; leaves it null when there are no adapters.
aud_error fetch_adapters(std::unique_ptr<IP_ADAPTER_ADDRESSES, FreeMemory>* buffer) {
    ULONG size = kFirstBufferSize;
    for (int attempt = 0; attempt < kFetchAttempts; ++attempt) {
        buffer->reset(static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size)));
        if (*buffer == nullptr) {
            return AUD_ERR_NOMEMORY;
        }
        const ULONG result =
            GetAdaptersAddresses(AF_INET, kAdapterFlags, nullptr, buffer->get(), &size);
        if (result == NO_ERROR) {
            return AUD_SUCCESS;
        }
        buffer->reset();
        if (result == ERROR_NO_DATA) {
            return AUD_SUCCESS;
        }
        if (result != ERROR_BUFFER_OVERFLOW) {
            return aud_error_from_system(result);
        }
    }
    return aud_error_from_system(ERROR_BUFFER_OVERFLOW);
}

aud_interface_value_state value_state(LONG result) {
    if (result == ERROR_SUCCESS) {
        return AUD_INTERFACE_VALUE_READ;
    }
    return result == ERROR_FILE_NOT_FOUND ? AUD_INTERFACE_VALUE_NOT_FOUND
                                          : AUD_INTERFACE_VALUE_FAILED;
}

aud_interface_kind classify(const IP_ADAPTER_ADDRESSES& adapter) {
    aud_interface_registry_facts facts{};
    facts.if_type = adapter.IfType;
    facts.media_subtype_state = AUD_INTERFACE_VALUE_FAILED;
    facts.pnp_instance_id_state = AUD_INTERFACE_VALUE_FAILED;

    char path[512];
    const int length = adapter.AdapterName != nullptr
                           ? std::snprintf(path, sizeof path, kConnectionKey, adapter.AdapterName)
                           : -1;
    HKEY raw_key = nullptr;
    if (length > 0 && static_cast<size_t>(length) < sizeof path &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &raw_key) == ERROR_SUCCESS) {
        facts.key_opened = true;
    }
    const std::unique_ptr<HKEY__, CloseKey> key(raw_key);
    if (!facts.key_opened) {
        return aud_interface_kind_from_registry(&facts);
    }

    DWORD type = 0;
    DWORD subtype = 0;
    DWORD size = sizeof subtype;
    facts.media_subtype_state = value_state(RegQueryValueExA(
        key.get(), "MediaSubType", nullptr, &type, reinterpret_cast<BYTE*>(&subtype), &size));
    facts.media_subtype_is_dword = type == REG_DWORD && size == sizeof subtype;
    facts.media_subtype = subtype;

    // The value need not carry its own terminating zero.
    char id[kPnpInstanceIdSize + 1] = {};
    type = 0;
    size = kPnpInstanceIdSize;
    facts.pnp_instance_id_state = value_state(RegQueryValueExA(
        key.get(), "PnpInstanceId", nullptr, &type, reinterpret_cast<BYTE*>(id), &size));
    id[size < kPnpInstanceIdSize ? size : kPnpInstanceIdSize] = '\0';
    facts.pnp_instance_id_is_string = type == REG_SZ || type == REG_EXPAND_SZ;
    facts.pnp_instance_id = id;
    return aud_interface_kind_from_registry(&facts);
}

void set_name(const IP_ADAPTER_ADDRESSES& adapter, aud_interface* record) {
    if (adapter.FriendlyName != nullptr && adapter.FriendlyName[0] != L'\0') {
        char16_t units[AUD_INTERFACE_NAME_SIZE];
        const size_t length = wcsnlen(adapter.FriendlyName, AUD_INTERFACE_NAME_SIZE);
        for (size_t i = 0; i < length; ++i) {
            units[i] = static_cast<char16_t>(adapter.FriendlyName[i]);
        }
        aud_interface_set_name_utf16(record, units, length);
        return;
    }
    // No friendly name: the adapter name in the C library's current locale.
    wchar_t wide[AUD_INTERFACE_NAME_SIZE];
    const size_t length = std::mbstowcs(wide, record->adapter_name, AUD_INTERFACE_NAME_SIZE);
    if (length == static_cast<size_t>(-1)) {
        aud_interface_set_name_utf8(record, record->adapter_name,
                                    std::strlen(record->adapter_name));
        return;
    }
    char16_t units[AUD_INTERFACE_NAME_SIZE];
    for (size_t i = 0; i < length; ++i) {
        units[i] = static_cast<char16_t>(wide[i]);
    }
    aud_interface_set_name_utf16(record, units, length);
}

// The address of a socket address that is IPv4, else 0.
uint32_t ipv4_of(const SOCKET_ADDRESS& address) {
    if (address.lpSockaddr == nullptr || address.lpSockaddr->sa_family != AF_INET ||
        address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in))) {
        return 0;
    }
    return reinterpret_cast<const sockaddr_in*>(address.lpSockaddr)->sin_addr.s_addr;
}

template <typename Entry>
uint32_t first_ipv4(const Entry* entry) {
    for (; entry != nullptr; entry = entry->Next) {
        const uint32_t address = ipv4_of(entry->Address);
        if (address != 0) {
            return address;
        }
    }
    return 0;
}

// Whether the adapter record is long enough to hold `field`: records of older
// systems end before the fields that later systems added.
bool holds(const IP_ADAPTER_ADDRESSES& adapter, size_t offset, size_t size) {
    return adapter.Length >= offset + size;
}

void copy_suffix(const wchar_t* suffix, aud_interface* record) {
    record->dns_suffix[0] = '\0';
    if (suffix == nullptr || suffix[0] == L'\0') {
        return;
    }
    // A suffix that does not fit is left out rather than cut into another name.
    const int written =
        WideCharToMultiByte(CP_UTF8, 0, suffix, -1, record->dns_suffix,
                            static_cast<int>(sizeof record->dns_suffix), nullptr, nullptr);
    if (written <= 0) {
        record->dns_suffix[0] = '\0';
    }
}

void set_link_speed(const IP_ADAPTER_ADDRESSES& adapter, aud_interface_log_fn log, void* context,
                    aud_interface* record) {
    uint64_t transmit = 0;
    uint64_t receive = 0;
    if (holds(adapter, offsetof(IP_ADAPTER_ADDRESSES, ReceiveLinkSpeed), sizeof(ULONG64))) {
        transmit = adapter.TransmitLinkSpeed;
        receive = adapter.ReceiveLinkSpeed;
    }
    aud_interface_log_printf(log, context, AUD_INTERFACE_LOG_DEBUG, "%s: UP=%u TX=%llu RX=%llu\n",
                             kFunction, record->up ? 1u : 0u,
                             static_cast<unsigned long long>(transmit),
                             static_cast<unsigned long long>(receive));
    bool ask_row = false;
    record->link_speed = aud_interface_link_speed(record->up, transmit, receive, &ask_row);
    if (!ask_row) {
        return;
    }
    MIB_IFROW row{};
    row.dwIndex = record->index;
    const DWORD result = GetIfEntry(&row);
    if (result == NO_ERROR) {
        record->link_speed = aud_interface_mbps_from_bps(row.dwSpeed);
        return;
    }
    char text[AUD_ERROR_FORMAT_SIZE];
    SetLastError(result);  // the formatted text of a system error reads it
    aud_interface_log_printf(log, context, AUD_INTERFACE_LOG_WARNING,
                             "%s: Error using GetIfEntry to get link speed for interface %u: %s\n",
                             kFunction, record->index,
                             aud_error_format(aud_error_from_system(result), text, sizeof text));
}

void fill_record(const IP_ADAPTER_ADDRESSES& adapter, aud_interface_log_fn log, void* context,
                 aud_interface* record) {
    record->kind = classify(adapter);
    if (adapter.AdapterName != nullptr) {
        const size_t length = strnlen(adapter.AdapterName, AUD_INTERFACE_ADAPTER_NAME_SIZE - 1);
        std::memcpy(record->adapter_name, adapter.AdapterName, length);
        record->adapter_name[length] = '\0';
    }
    set_name(adapter, record);
    aud_interface_set_index(record, adapter.IfIndex, log, context);

    if (adapter.PhysicalAddressLength == AUD_INTERFACE_MAC_SIZE) {
        std::memcpy(record->mac_address, adapter.PhysicalAddress, AUD_INTERFACE_MAC_SIZE);
    }
    const uint32_t address =
        adapter.FirstUnicastAddress != nullptr ? ipv4_of(adapter.FirstUnicastAddress->Address) : 0;
    aud_interface_set_address(&record->address, address);
    if (address != 0 && adapter.FirstPrefix != nullptr) {
        aud_interface_set_address(
            &record->netmask, aud_interface_netmask_from_prefix(adapter.FirstPrefix->PrefixLength));
    }
    aud_interface_set_address(&record->dns_server, first_ipv4(adapter.FirstDnsServerAddress));
    if (holds(adapter, offsetof(IP_ADAPTER_ADDRESSES, FirstGatewayAddress),
              sizeof adapter.FirstGatewayAddress)) {
        aud_interface_set_address(&record->gateway, first_ipv4(adapter.FirstGatewayAddress));
    }
    copy_suffix(adapter.DnsSuffix, record);

    record->up = adapter.OperStatus == IfOperStatusUp;
    record->loopback = adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    record->multicast = (adapter.Flags & IP_ADAPTER_NO_MULTICAST) == 0;
    set_link_speed(adapter, log, context, record);
}

}  // namespace

aud_error aud_interface_list_with_log(aud_interface_log_fn log, void* context,
                                      aud_interface** interfaces, size_t* count) {
    if (interfaces == nullptr || count == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *interfaces = nullptr;
    *count = 0;
    std::unique_ptr<IP_ADAPTER_ADDRESSES, FreeMemory> adapters;
    const aud_error error = fetch_adapters(&adapters);
    if (error != AUD_SUCCESS || adapters == nullptr) {
        return error;
    }
    size_t total = 0;
    for (const IP_ADAPTER_ADDRESSES* a = adapters.get(); a != nullptr; a = a->Next) {
        ++total;
    }
    auto* records = static_cast<aud_interface*>(std::calloc(total, sizeof(aud_interface)));
    if (records == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    size_t filled = 0;
    for (const IP_ADAPTER_ADDRESSES* a = adapters.get(); a != nullptr; a = a->Next) {
        fill_record(*a, log, context, &records[filled++]);
    }
    aud_interface_sort(records, filled);
    *interfaces = records;
    *count = filled;
    return AUD_SUCCESS;
}
