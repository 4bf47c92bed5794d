// Conmon channels: the channel types whose messages the conmon client can
// receive straight from the network on sockets of its own (metering on a
// unicast port, serial and vendor broadcast on multicast groups), with the
// multicast memberships kept in line with the local device's networks,
// every datagram validated, and the copy of a message that arrives on both
// networks dropped. Which channels exist follows the client's channel mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "avn/conmon/conmon_message.h"
#include "avn/conmon/conmon_protocol.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_time.h"
#include "avn/runtime/socket.h"

struct conmon_channels;
struct conmon_channel;

enum : int {
    CONMON_CHANNEL_MODE_REMOTE_ANYCAST = 3,    // unicast
    CONMON_CHANNEL_MODE_REMOTE_MULTICAST = 4,  // multicast group
};

inline constexpr uint32_t CONMON_SERIAL_GROUP = 0xE00000E8;  // 224.0.0.232
inline constexpr uint16_t CONMON_SERIAL_PORT = 8705;
inline constexpr uint16_t CONMON_VENDOR_BROADCAST_PORT = 8707;
inline constexpr size_t CONMON_CHANNEL_MAX_DATAGRAM = 1472;
inline constexpr size_t CONMON_CHANNEL_DUPLICATE_ENTRIES = 32;

// Types that have a channel of their own when the mask has their bit.
inline constexpr uint32_t CONMON_CHANNELS_DIRECT_MASK = (1u << CONMON_CHANNEL_TYPE_METERING) |
                                                        (1u << CONMON_CHANNEL_TYPE_SERIAL) |
                                                        (1u << CONMON_CHANNEL_TYPE_VENDOR_BROADCAST);

// A new message: (context, channel type, direction, message, body).
using conmon_channel_callback = void (*)(void* context, uint16_t channel_type, uint16_t direction,
                                         const conmon_message* message, const uint8_t* body);

// A channel for each direct type in the mask; null when out of memory.
conmon_channels* conmon_channels_new(aud_env* env, uint32_t type_mask);
void conmon_channels_delete(conmon_channels* channels);
// The channel of a type, or null when there is none.
conmon_channel* conmon_channels_get(conmon_channels* channels, uint16_t channel_type);
size_t conmon_channels_count(const conmon_channels* channels);

// What the channels need to know of the local device.
void conmon_channels_set_local_source(conmon_channels* channels, const conmon_source* source);
void conmon_channels_set_interfaces(conmon_channels* channels,
                                    std::span<const conmon_interface_record> interfaces);

// Opens the channel's sockets on the port (0: the system chooses).
aud_error conmon_channel_initialise_remote_unicast(conmon_channel* channel, uint16_t port);
// Opens the channel's sockets on the port and joins the group (host order)
// on every network whose link is up.
aud_error conmon_channel_initialise_remote_multicast(conmon_channel* channel, uint16_t port,
                                                     uint32_t group);
void conmon_channel_set_callback(conmon_channel* channel, conmon_channel_callback callback,
                                 void* context);
void conmon_channel_set_enabled(conmon_channel* channel, bool enabled);
uint16_t conmon_channel_get_port(const conmon_channel* channel);
int conmon_channel_get_mode(const conmon_channel* channel);

// Opens a transmit multicast socket per network when a channel needs them.
aud_error conmon_channels_initialise(conmon_channels* channels);
// After the interface table changed: transmit interfaces, then memberships.
void conmon_channels_update(conmon_channels* channels);
// Reads every channel's sockets (for applications without an event loop).
void conmon_channels_process(conmon_channels* channels);
void conmon_channels_close_tx(conmon_channels* channels);

// The receive path after the socket: validation, own messages, the arrival
// network, delivery rules and duplicates. Exposed for the tests; the
// sockets feed it with what they received.
void conmon_channel_receive(conmon_channel* channel, std::span<const uint8_t> datagram,
                            const aud_socket_msg_info& info, aud_time now);
