// The domain list that a Domain Manager sends on its connection (message
// type 3): an AVN packet whose message chunk carries a list header, an array
// of item offsets and the domain items with their strings and access
// bitmaps. Reading turns it into domain list entries; building (for the
// simulated Domain Manager and tests) writes one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "avn/runtime/avn_domain.h"

enum class dm_domain_list_status {
    ok,
    packet_too_short,  // no readable packet header
    no_message,        // no valid message chunk or list header
};

// The most domains one list keeps. A message chunk of at most 64 KiB can
// describe about 3000 items, and a Domain Manager offers one user tens of
// domains; the cap keeps a list (about 320 bytes an entry) near 1.3 MB
// whatever a server sends, in one message or in many partial updates.
inline constexpr size_t DM_DOMAIN_LIST_MAX_ENTRIES = 4096;

struct dm_domain_list {
    dm_domain_list_status status = dm_domain_list_status::no_message;
    bool partial = false;  // an update of the ids first_id..last_id
    uint16_t first_id = 0;
    uint16_t last_id = 0;
    std::vector<avn_domain_entry> entries;
    bool item_unreadable = false;  // the walk stopped at an item it could not read
    size_t names_too_long = 0;     // items skipped for a name of 128 characters or more
    size_t items_dropped = 0;      // items dropped by the rules below
};

// Besides reading, keeps a server from growing or spoiling the list: an
// item with the id or uuid of one already read (a repeated item offset
// included), the ADHOC pseudo-domain's id or uuid (no server replaces it),
// an id outside a partial update's range, or one beyond
// DM_DOMAIN_LIST_MAX_ENTRIES is dropped.
dm_domain_list dm_domain_list_parse(std::span<const uint8_t> payload);

// ---- Building ----

// A domain as the Domain Manager describes it. Absent fields are left out of
// the item (their flag bits clear).
struct dm_domain_item {
    std::optional<avn_domain_uuid> uuid;
    std::optional<std::string> name;
    std::optional<uint16_t> id;
    std::optional<uint16_t> role;
    std::optional<avn_domain_uuid> extra_uuid;
    std::optional<std::string> extra_name;
    // An access block: byte count (up to 4 are carried), mask and value bytes.
    struct access_block {
        uint16_t count = 4;
        uint8_t mask[4] = {0xFF, 0xFF, 0xFF, 0x0F};
        uint8_t value[4] = {};
    };
    std::optional<access_block> access;
    std::optional<uint16_t> flags_word;  // the item flags word
};

// A full list (no id range) or a partial update of first_id..last_id; empty
// when the items need more than the 64 KiB a message chunk can describe.
std::vector<uint8_t> dm_domain_list_build(std::span<const dm_domain_item> items,
                                          std::optional<std::pair<uint16_t, uint16_t>> range = {});
