// The maker's identity on an AVN network: the manufacturer ID that marks the
// vendor-specific messages to and from its units, and the TPX-2's model ID.
#pragma once

#include <array>
#include <cstdint>

#include "avn/conmon/conmon_message.h"

// "Vornix" padded with two zero bytes.
inline constexpr std::array<uint8_t, CONMON_VENDOR_ID_SIZE> kManufacturerId = {'V', 'o', 'r', 'n',
                                                                               'i', 'x', 0,   0};
// A unit with the maker's manufacturer ID and this model is a TPX-2.
inline constexpr uint32_t kTpx2ModelId = 8;
