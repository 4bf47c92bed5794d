// The receiving side of the domain relay: a message that arrives over the
// Domain Manager connection is an AVN packet whose destination option names
// the domain listener it is for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/runtime/aud_error.h"

struct domain_provider;

// The domain listener id of the relay itself: packets for it are ignored.
inline constexpr uint16_t kDomainRelayListenerId = 1;

// Hands the packet to the receiver of the listener its destination option
// names. INVALIDDATA for a packet header under 8 bytes, a packet without a
// source option, a destination of node 0, listener 0 or listener 0xFFFF;
// NOTFOUND without a destination option or a listener of that id. Packets
// for the relay's own listener id are taken and ignored.
aud_error domain_relay_receive(domain_provider* provider, const uint8_t* packet, size_t length);
