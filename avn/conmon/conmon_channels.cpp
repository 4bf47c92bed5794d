#include "avn/conmon/conmon_channels.h"

#include <array>
#include <cstring>
#include <new>

#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/byte_order.h"

namespace {

constexpr size_t kNetworks = CONMON_MAX_INTERFACES;
constexpr int32_t kDuplicateWindowSeconds = 2;

struct DuplicateEntry {
    bool used = false;
    uint16_t sequence = 0;
    conmon_source source{};
    uint32_t networks = 0;  // bit per network the message was seen on
    aud_socket_address from[kNetworks]{};
    aud_time first_seen{};
};

bool same_source(const conmon_source& a, const conmon_source& b) {
    return a.process_id == b.process_id &&
           std::memcmp(a.device_id, b.device_id, CONMON_DEVICE_ID_SIZE) == 0;
}

bool is_multicast(uint32_t host_order_address) {
    return (host_order_address & 0xF0000000u) == 0xE0000000u;
}

bool is_loopback(uint32_t host_order_address) {
    return (host_order_address >> 24) == 127;
}

}  // namespace

struct conmon_channel {
    conmon_channels* owner = nullptr;
    uint16_t type = 0;
    int mode = 0;
    uint16_t port = 0;
    uint16_t alternate_port = 0;
    uint32_t group = 0;  // host order
    uint32_t joined[kNetworks] = {};  // interface address of the membership, host order; 0 none
    aud_socket_t normal = AUD_SOCKET_INVALID;
    aud_socket_t alternate = AUD_SOCKET_INVALID;
    bool enabled = false;
    conmon_channel_callback callback = nullptr;
    void* context = nullptr;
    std::array<DuplicateEntry, CONMON_CHANNEL_DUPLICATE_ENTRIES> duplicates{};
    size_t next_duplicate = 0;
};

struct conmon_channels {
    aud_env* env = nullptr;
    size_t interface_count = 0;
    conmon_interface_record interfaces[kNetworks]{};
    conmon_source local{};
    bool needs_tx_multicast = false;
    conmon_channel* slots[CONMON_NUM_CHANNEL_TYPES] = {};
    aud_socket_t tx[kNetworks] = {AUD_SOCKET_INVALID, AUD_SOCKET_INVALID};
    bool tx_interface_set[kNetworks] = {};
};

namespace {

aud_log* log_of(const conmon_channel* channel) {
    return aud_env_get_log(channel->owner->env);
}

const char* name_of(const conmon_channel* channel) {
    return conmon_channel_type_name(channel->type);
}

uint32_t interface_address(const conmon_interface_record& record) {
    return byte_order::load_be32(reinterpret_cast<const uint8_t*>(&record.address));
}

bool link_up(const conmon_interface_record& record) {
    return (record.flags & CONMON_INTERFACE_FLAG_LINK_UP) != 0;
}

void close_sockets(conmon_channel* channel) {
    aud_event_loop* loop = aud_env_get_event_loop(channel->owner->env);
    for (aud_socket_t* socket : {&channel->normal, &channel->alternate}) {
        if (*socket == AUD_SOCKET_INVALID) {
            continue;
        }
        if (loop != nullptr) {
            aud_event_loop_set_socket(loop, *socket, AUD_DIRECTION_READ, nullptr, nullptr,
                                      AUD_SET_SOCKET_ADD_OR_REPLACE);
        }
        aud_socket_close(socket);
        aud_log_printf(log_of(channel), AUD_LOG_LEVEL_DEBUG, "%s(%s): closed socket\n",
                       "conmon_channel_initialise_sockets", name_of(channel));
    }
}

void read_one(conmon_channel* channel, aud_socket_t socket) {
    uint8_t buffer[CONMON_CHANNEL_MAX_DATAGRAM];
    size_t length = sizeof buffer;
    aud_socket_msg_info info{};
    info.flags = AUD_SOCKET_MSG_SOURCE | AUD_SOCKET_MSG_DESTINATION | AUD_SOCKET_MSG_INTERFACE;
    const aud_error result = aud_socket_recvmsg(socket, buffer, &length, &info);
    if (result == AUD_ERR_TIMEDOUT) {
        return;
    }
    if (result != AUD_SUCCESS) {
        aud_log_printf(log_of(channel), AUD_LOG_LEVEL_WARNING, "%s(%s) error recving message: %s\n",
                       "conmon_channel_handle_message", name_of(channel), aud_error_name(result));
        return;
    }
    conmon_channel_receive(channel, {buffer, length}, info, aud_time_now());
}

void socket_ready(aud_error cause, aud_socket_t socket, int, void* context) {
    if (cause == AUD_CAUSE_FIRED) {
        read_one(static_cast<conmon_channel*>(context), socket);
    }
}

aud_error open_socket(conmon_channel* channel, aud_socket_t* socket, uint16_t port, const char* which) {
    static const char* const kName = "conmon_channel_initialise_sockets";
    aud_log* log = log_of(channel);
    aud_error result = aud_socket_open_udp(socket, AUD_AF_INET);
    if (result != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s(%s/%s): Error initialising socket\n", kName,
                       name_of(channel), which);
        return result;
    }
    const bool multicast = channel->mode == CONMON_CHANNEL_MODE_REMOTE_MULTICAST;
    if (channel->mode != CONMON_CHANNEL_MODE_REMOTE_ANYCAST) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s(%s/%s): socket is %d, setting socket re-use\n",
                       kName, name_of(channel), which, static_cast<int>(*socket));
        aud_socket_set_reuse_address(*socket, true);
    }
    if (multicast) {
        const aud_error reuse = aud_socket_set_reuse_port(*socket, true);
        if (reuse != AUD_SUCCESS) {
            aud_log_printf(log, AUD_LOG_LEVEL_WARNING,
                           "%s(%s/%s): Can't enable port re-use, continuing anyway: %s\n", kName,
                           name_of(channel), which, aud_error_name(reuse));
        }
    }
    aud_socket_address any{};
    aud_socket_address_set_ipv4(&any, 0, port);
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s(%s/%s): binding to address 0x%08x:%u\n", kName,
                   name_of(channel), which, 0u, unsigned{port});
    result = aud_socket_bind(*socket, &any);
    if (result != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s(%s/%s): Error binding to port %u: %s\n", kName,
                       name_of(channel), which, unsigned{port}, aud_error_name(result));
        return result;
    }
    if ((result = aud_socket_set_pktinfo(*socket, true)) != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s(%s/%s): Error enabling recv destination: %s\n",
                       kName, name_of(channel), which, aud_error_name(result));
        return result;
    }
    aud_event_loop* loop = aud_env_get_event_loop(channel->owner->env);
    if (multicast) {
        aud_socket_set_multicast_loopback(*socket, loop != nullptr);
    }
    if (loop != nullptr &&
        (result = aud_event_loop_set_socket(loop, *socket, AUD_DIRECTION_READ, socket_ready, channel,
                                            AUD_SET_SOCKET_ADD)) != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s(%s/%s): Error adding socket to event loop: %s\n",
                       kName, name_of(channel), which, aud_error_name(result));
        return result;
    }
    if ((result = aud_socket_set_blocking(*socket, false)) != AUD_SUCCESS) {
        aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "%s(%s/%s): Error making socket non-blocking: %s\n",
                       kName, name_of(channel), which, aud_error_name(result));
    }
    return result;
}

void update_memberships(conmon_channel* channel) {
    if (channel->mode != CONMON_CHANNEL_MODE_REMOTE_MULTICAST || channel->normal == AUD_SOCKET_INVALID) {
        return;
    }
    conmon_channels* owner = channel->owner;
    aud_socket_address group{};
    aud_socket_address_set_ipv4(&group, channel->group, 0);
    for (size_t n = 0; n < kNetworks; ++n) {
        const bool present = n < owner->interface_count;
        const uint32_t address = present ? interface_address(owner->interfaces[n]) : 0;
        const bool up = present && link_up(owner->interfaces[n]);
        aud_log_printf(log_of(channel), AUD_LOG_LEVEL_DEBUG,
                       "%s(%s/%d): link=%s iface=0x%08x join=0x%08x \n", "conmon_channel_update_sockets",
                       name_of(channel), static_cast<int>(n), up ? "up" : "down", address, channel->joined[n]);
        aud_socket_address iface{};
        if (channel->joined[n] != 0 && (!up || address != channel->joined[n])) {
            aud_socket_address_set_ipv4(&iface, channel->joined[n], 0);
            aud_socket_leave_multicast(channel->normal, &group, &iface);
            channel->joined[n] = 0;
        }
        if (up && address != 0 && channel->joined[n] != address) {
            aud_socket_address_set_ipv4(&iface, address, 0);
            if (aud_socket_join_multicast(channel->normal, &group, &iface) == AUD_SUCCESS) {
                channel->joined[n] = address;
            }
        }
    }
}

aud_error initialise_sockets(conmon_channel* channel) {
    // The normal socket takes the alternate port when one is set; a second
    // socket is made only when both ports are set and differ.
    const uint16_t normal_port = channel->alternate_port != 0 ? channel->alternate_port : channel->port;
    aud_error result = open_socket(channel, &channel->normal, normal_port, "normal");
    if (result == AUD_SUCCESS && channel->alternate_port != 0 && channel->port != 0 &&
        channel->alternate_port != channel->port) {
        result = open_socket(channel, &channel->alternate, channel->port, "alternate");
    }
    if (result != AUD_SUCCESS) {
        close_sockets(channel);
        return result;
    }
    if (channel->port == 0) {
        aud_socket_address bound{};
        aud_socket_get_local_address(channel->normal, &bound);
        channel->port = aud_socket_address_get_port(&bound);
    }
    update_memberships(channel);
    return AUD_SUCCESS;
}

// The network a datagram arrived on, or -1.
int arrival_network(const conmon_channel* channel, const aud_socket_msg_info& info) {
    const conmon_channels* owner = channel->owner;
    for (size_t n = 0; n < owner->interface_count; ++n) {
        if (owner->interfaces[n].index == info.interface_index) {
            return static_cast<int>(n);
        }
    }
    if (channel->mode == CONMON_CHANNEL_MODE_REMOTE_ANYCAST &&
        is_loopback(aud_socket_address_get_ipv4(&info.destination))) {
        aud_log_printf(log_of(channel), AUD_LOG_LEVEL_DEBUG, "%s(%s): mapping localhost index %d to network id 0\n",
                       "conmon_channel_validate_destination_info", name_of(channel),
                       static_cast<int>(info.interface_index));
        return 0;
    }
    aud_log_printf(log_of(channel), AUD_LOG_LEVEL_DEBUG, "%s(%s): error finding network id for interface index %d\n",
                   "conmon_channel_validate_destination_info", name_of(channel),
                   static_cast<int>(info.interface_index));
    return -1;
}

// True when the message is new; a copy seen within two seconds only adds
// the network it arrived on.
bool note_message(conmon_channel* channel, const conmon_message* message, int network,
                  const aud_socket_address& from, aud_time now) {
    const uint16_t sequence = conmon_message_sequence(message);
    const conmon_source source = conmon_message_source(message);
    const aud_time window{kDuplicateWindowSeconds, 0};
    for (DuplicateEntry& entry : channel->duplicates) {
        if (entry.used && entry.sequence == sequence && same_source(entry.source, source) &&
            aud_time_compare(aud_time_sub(now, entry.first_seen), window) < 0) {
            entry.networks |= 1u << network;
            entry.from[network] = from;
            return false;
        }
    }
    DuplicateEntry& entry = channel->duplicates[channel->next_duplicate];
    channel->next_duplicate = (channel->next_duplicate + 1) % channel->duplicates.size();
    entry = DuplicateEntry{true, sequence, source, 1u << network, {}, now};
    entry.from[network] = from;
    return true;
}

}  // namespace

conmon_channels* conmon_channels_new(aud_env* env, uint32_t type_mask) {
    auto* channels = new (std::nothrow) conmon_channels;
    if (channels == nullptr) {
        return nullptr;
    }
    channels->env = env;
    for (uint16_t type = 0; type < CONMON_NUM_CHANNEL_TYPES; ++type) {
        if ((type_mask & CONMON_CHANNELS_DIRECT_MASK & (1u << type)) == 0) {
            continue;
        }
        auto* channel = new (std::nothrow) conmon_channel;
        if (channel == nullptr) {
            conmon_channels_delete(channels);
            return nullptr;
        }
        channel->owner = channels;
        channel->type = type;
        channels->slots[type] = channel;
    }
    return channels;
}

void conmon_channels_delete(conmon_channels* channels) {
    if (channels == nullptr) {
        return;
    }
    for (conmon_channel*& channel : channels->slots) {
        if (channel != nullptr) {
            close_sockets(channel);
            delete channel;
            channel = nullptr;
        }
    }
    conmon_channels_close_tx(channels);
    delete channels;
}

conmon_channel* conmon_channels_get(conmon_channels* channels, uint16_t channel_type) {
    return channels != nullptr && channel_type < CONMON_NUM_CHANNEL_TYPES ? channels->slots[channel_type]
                                                                         : nullptr;
}

size_t conmon_channels_count(const conmon_channels* channels) {
    size_t count = 0;
    for (const conmon_channel* channel : channels->slots) {
        count += channel != nullptr ? 1 : 0;
    }
    return count;
}

void conmon_channels_set_local_source(conmon_channels* channels, const conmon_source* source) {
    channels->local = source != nullptr ? *source : conmon_source{};
}

void conmon_channels_set_interfaces(conmon_channels* channels,
                                    std::span<const conmon_interface_record> interfaces) {
    channels->interface_count = std::min(interfaces.size(), kNetworks);
    for (size_t n = 0; n < channels->interface_count; ++n) {
        channels->interfaces[n] = interfaces[n];
    }
}

aud_error conmon_channel_initialise_remote_unicast(conmon_channel* channel, uint16_t port) {
    channel->mode = CONMON_CHANNEL_MODE_REMOTE_ANYCAST;
    channel->port = port;
    const aud_error result = initialise_sockets(channel);
    if (result == AUD_SUCCESS) {
        aud_log_printf(log_of(channel), AUD_LOG_LEVEL_DEBUG, "%s(%s): unicast channel addresses are port %u\n",
                       "conmon_channel_initialise_remote_unicast", name_of(channel), unsigned{channel->port});
    }
    return result;
}

aud_error conmon_channel_initialise_remote_multicast(conmon_channel* channel, uint16_t port, uint32_t group) {
    if (!is_multicast(group)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    channel->mode = CONMON_CHANNEL_MODE_REMOTE_MULTICAST;
    channel->port = port;
    channel->group = group;
    channel->owner->needs_tx_multicast = true;
    return initialise_sockets(channel);
}

void conmon_channel_set_callback(conmon_channel* channel, conmon_channel_callback callback, void* context) {
    channel->callback = callback;
    channel->context = context;
}

void conmon_channel_set_enabled(conmon_channel* channel, bool enabled) {
    channel->enabled = enabled;
}

uint16_t conmon_channel_get_port(const conmon_channel* channel) {
    return channel->port;
}

int conmon_channel_get_mode(const conmon_channel* channel) {
    return channel->mode;
}

aud_error conmon_channels_initialise(conmon_channels* channels) {
    aud_log_printf(aud_env_get_log(channels->env), AUD_LOG_LEVEL_DEBUG, "%s: starting\n",
                   "conmon_channels_initialise");
    if (!channels->needs_tx_multicast) {
        return AUD_SUCCESS;
    }
    for (size_t n = 0; n < kNetworks; ++n) {
        const aud_error result = aud_socket_open_udp(&channels->tx[n], AUD_AF_INET);
        if (result != AUD_SUCCESS) {
            aud_log_printf(aud_env_get_log(channels->env), AUD_LOG_LEVEL_ERROR,
                           "%s: Error initialising tx multicast socket on interface %d: %s\n",
                           "conmon_channels_initialise", static_cast<int>(n), aud_error_name(result));
            conmon_channels_close_tx(channels);
            return result;
        }
    }
    conmon_channels_update(channels);
    return AUD_SUCCESS;
}

void conmon_channels_update(conmon_channels* channels) {
    for (size_t n = 0; n < kNetworks; ++n) {
        if (channels->tx[n] == AUD_SOCKET_INVALID || channels->tx_interface_set[n]) {
            continue;
        }
        const bool usable = n < channels->interface_count && interface_address(channels->interfaces[n]) != 0 &&
                            link_up(channels->interfaces[n]);
        if (!usable) {
            aud_log_printf(aud_env_get_log(channels->env), AUD_LOG_LEVEL_DEBUG,
                           "Not setting multicast interface for network %d: no address or link down\n",
                           static_cast<int>(n));
            continue;
        }
        aud_socket_address iface{};
        aud_socket_address_set_ipv4(&iface, interface_address(channels->interfaces[n]), 0);
        channels->tx_interface_set[n] = aud_socket_set_multicast_interface(channels->tx[n], &iface) == AUD_SUCCESS;
    }
    for (conmon_channel* channel : channels->slots) {
        if (channel != nullptr) {
            update_memberships(channel);
        }
    }
}

void conmon_channels_process(conmon_channels* channels) {
    for (conmon_channel* channel : channels->slots) {
        if (channel == nullptr) {
            continue;
        }
        for (aud_socket_t socket : {channel->normal, channel->alternate}) {
            if (socket != AUD_SOCKET_INVALID) {
                read_one(channel, socket);
            }
        }
    }
}

void conmon_channels_close_tx(conmon_channels* channels) {
    for (size_t n = 0; n < kNetworks; ++n) {
        aud_socket_close(&channels->tx[n]);
        channels->tx_interface_set[n] = false;
    }
}

void conmon_channel_receive(conmon_channel* channel, std::span<const uint8_t> datagram,
                            const aud_socket_msg_info& info, aud_time now) {
    static const char* const kName = "conmon_channel_handle_message";
    aud_log* log = log_of(channel);
    if (datagram.size() < CONMON_MESSAGE_HEAD_SIZE) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG,
                       "%s(%s) receved invalid message: size %u < conmon message head size %d\n", kName,
                       name_of(channel), static_cast<unsigned>(datagram.size()),
                       static_cast<int>(CONMON_MESSAGE_HEAD_SIZE));
        return;
    }
    const conmon_message* message = conmon_message_from_bytes(datagram.data());
    if (!conmon_message_is_valid(datagram)) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s(%s) receved invalid message: size %u != expected size %d\n",
                       kName, name_of(channel), static_cast<unsigned>(datagram.size()),
                       static_cast<int>(conmon_message_length(message)));
        return;
    }
    const conmon_source source = conmon_message_source(message);
    const bool from_self = same_source(source, channel->owner->local);
    if (from_self) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s(%s): recv'ed message from self, ignoring\n", kName,
                       name_of(channel));
        return;
    }
    const uint32_t wanted = AUD_SOCKET_MSG_SOURCE | AUD_SOCKET_MSG_DESTINATION | AUD_SOCKET_MSG_INTERFACE;
    if ((info.flags & wanted) != wanted) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s(%s): no '%s' information\n", kName, name_of(channel),
                       (info.flags & AUD_SOCKET_MSG_SOURCE) == 0        ? "from"
                       : (info.flags & AUD_SOCKET_MSG_DESTINATION) == 0 ? "to"
                                                                        : "index");
        return;
    }
    const int network = arrival_network(channel, info);
    if (network < 0 || !channel->enabled) {
        return;
    }
    const bool to_group = is_multicast(aud_socket_address_get_ipv4(&info.destination));
    if (channel->mode == CONMON_CHANNEL_MODE_REMOTE_MULTICAST && !to_group) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s(%s): ignoring unexpected unicast message\n", kName,
                       name_of(channel));
        return;
    }
    if (channel->mode == CONMON_CHANNEL_MODE_REMOTE_ANYCAST && to_group) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s(%s): ignoring unexpected multicast message\n", kName,
                       name_of(channel));
        return;
    }
    if (!note_message(channel, message, network, info.source, now)) {
        aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s(%s): finished (duplicate message)\n", kName, name_of(channel));
        return;
    }
    aud_log_printf(log, AUD_LOG_LEVEL_DEBUG, "%s(%s): finished (new message)\n", kName, name_of(channel));
    if (channel->callback != nullptr) {
        channel->callback(channel->context, channel->type, CONMON_DIRECTION_REMOTE, message,
                          conmon_message_body(message));
    }
}
