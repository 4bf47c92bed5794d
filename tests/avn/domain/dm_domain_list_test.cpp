#include "avn/domain/dm_domain_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "avn/domain/domain_list.h"
#include "avn/runtime/byte_order.h"

namespace {

using Item = dm_domain_item;

Item named(const std::string& name, uint16_t id) {
    Item item;
    item.name = name;
    item.id = id;
    return item;
}

dm_domain_list round_trip(std::vector<Item> items,
                          std::optional<std::pair<uint16_t, uint16_t>> range = {}) {
    return dm_domain_list_parse(dm_domain_list_build(items, range));
}

TEST(DmDomainList, ReadsWhatTheDomainManagerSends) {
    Item studio = named("Studio A", 1);
    studio.uuid = avn_domain_uuid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};
    studio.role = 2;
    studio.extra_name = "Building 1";
    const dm_domain_list list = round_trip({studio, named("Studio B", 2)});
    ASSERT_EQ(list.status, dm_domain_list_status::ok);
    EXPECT_FALSE(list.partial);
    ASSERT_EQ(list.entries.size(), 2u);
    const avn_domain_entry& a = list.entries[0];
    EXPECT_STREQ(a.info.name, "Studio A");
    EXPECT_EQ(a.info.id, 1);
    EXPECT_EQ(a.info.role, 2u);
    EXPECT_EQ(a.info.uuid.bytes[15], 16);
    EXPECT_STREQ(a.info.extra_name, "Building 1");
    EXPECT_STREQ(list.entries[1].info.name, "Studio B");
    EXPECT_FALSE(list.item_unreadable);

    const dm_domain_list update = round_trip({named("Studio C", 3)}, std::pair<uint16_t, uint16_t>{3, 4});
    EXPECT_TRUE(update.partial);
    EXPECT_EQ(update.first_id, 3);
    EXPECT_EQ(update.last_id, 4);
}

struct AccessCase {
    const char* what;
    uint16_t role;
    std::optional<Item::access_block> access;
    uint32_t expected;
};

TEST(DmDomainList, AccessWordFromRoleAndBitmaps) {
    Item::access_block one_byte;  // positions 8..27 become unknown
    one_byte.count = 1;
    one_byte.mask[0] = 0xFF;
    one_byte.value[0] = 0x05;  // positions 0 and 2
    Item::access_block full;
    full.value[0] = 0x01;  // position 0 granted, 1..27 known and refused
    full.value[3] = 0x08;  // position 27
    const AccessCase cases[] = {
        {"no bitmaps", 1, std::nullopt, 0x1},
        {"no bitmaps, role 3", 3, std::nullopt, 0xE0000001},
        {"one byte", 1, one_byte, 0x1 | (1u << 1) | (1u << 3)},
        {"one byte, role 3", 3, one_byte, 0xFFFFFE01 | (1u << 1) | (1u << 3)},
        {"four bytes", 1, full, 0x1 | (1u << 1) | (1u << 28)},
    };
    for (const AccessCase& c : cases) {
        Item item = named("D", 1);
        item.role = c.role;
        item.access = c.access;
        const dm_domain_list list = round_trip({item});
        ASSERT_EQ(list.entries.size(), 1u) << c.what;
        EXPECT_EQ(list.entries[0].access, c.expected) << c.what << std::hex << " got "
                                                      << list.entries[0].access;
    }
}

TEST(DmDomainList, FlagsWordMapsToEntryFlags) {
    const std::pair<std::optional<uint16_t>, uint32_t> cases[] = {
        {std::nullopt, 0x2}, {0x0, 0x0}, {0x1, 0x1}, {0x2, 0x4}, {0x4, 0x2}, {0x8, 0x8}, {0xF, 0xF},
    };
    for (const auto& [word, flags] : cases) {
        Item item = named("D", 1);
        item.flags_word = word;
        const dm_domain_list list = round_trip({item});
        ASSERT_EQ(list.entries.size(), 1u);
        EXPECT_EQ(list.entries[0].flags, flags) << (word ? *word : -1);
    }
}

TEST(DmDomainList, NamesOf128CharactersAreSkipped) {
    const dm_domain_list list =
        round_trip({named(std::string(127, 'a'), 1), named(std::string(128, 'b'), 2), named("c", 3)});
    ASSERT_EQ(list.entries.size(), 2u);
    EXPECT_EQ(std::string(list.entries[0].info.name), std::string(127, 'a'));
    EXPECT_EQ(list.entries[1].info.id, 3);
    EXPECT_EQ(list.names_too_long, 1u);
}

TEST(DmDomainList, DamagedListsKeepWhatWasRead) {
    const std::vector<uint8_t> good = dm_domain_list_build(std::vector<Item>{named("A", 1), named("B", 2)});
    ASSERT_FALSE(good.empty());
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        dm_domain_list_status status;
        size_t entries;
    };
    std::vector<uint8_t> wrong_type = good;
    wrong_type[3] = 2;
    std::vector<uint8_t> odd_chunk = good;
    byte_order::store_be16(odd_chunk.data() + 24, static_cast<uint16_t>(good.size() - 24 - 2));
    std::vector<uint8_t> chunk_too_long = good;
    byte_order::store_be16(chunk_too_long.data() + 24, static_cast<uint16_t>(good.size() - 24 + 4));
    // The second item's offset points past the message.
    std::vector<uint8_t> bad_item = good;
    const size_t array = 24 + byte_order::load_be16(good.data() + 24 + 12 + 2);
    byte_order::store_be16(bad_item.data() + array + 6, 0xFFF0);
    const Case cases[] = {
        {"empty", {}, dm_domain_list_status::packet_too_short, 0},
        {"header only", std::vector<uint8_t>(good.begin(), good.begin() + 24),
         dm_domain_list_status::no_message, 0},
        {"not a packet", wrong_type, dm_domain_list_status::packet_too_short, 0},
        {"chunk length not a multiple of 4", odd_chunk, dm_domain_list_status::no_message, 0},
        {"chunk longer than the payload", chunk_too_long, dm_domain_list_status::no_message, 0},
        {"truncated", std::vector<uint8_t>(good.begin(), good.end() - 8),
         dm_domain_list_status::no_message, 0},
        {"second item unreadable", bad_item, dm_domain_list_status::ok, 1},
    };
    for (const Case& c : cases) {
        const dm_domain_list list = dm_domain_list_parse(c.bytes);
        EXPECT_EQ(list.status, c.status) << c.what;
        EXPECT_EQ(list.entries.size(), c.entries) << c.what;
    }
}

// ---- Lists written by hand, byte by byte, as a server might send them ----

// A message chunk of `size` bytes (header part empty, data region from 8)
// inside a packet with an 8-byte header.
class HandList {
  public:
    explicit HandList(size_t size) : chunk_(size, 0) {
        put(0, static_cast<uint16_t>(size));  // total length D
        put(2, 0x0001);                       // message type
        put(6, static_cast<uint16_t>(size - 8));  // data length B
    }
    void put(size_t at, uint16_t value) { byte_order::store_be16(chunk_.data() + at, value); }
    void put_bytes(size_t at, std::initializer_list<uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), chunk_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    // The list header at the data region's start.
    void header(uint16_t flags, uint16_t array, uint16_t first = 0, uint16_t last = 0) {
        put(8, flags);
        put(10, array);
        put(12, first);
        put(14, last);
    }
    // An item with an id (flag 0x0004) and, when given, more flag bits.
    void item(size_t at, uint16_t id, uint16_t more_flags = 0) {
        put(at, static_cast<uint16_t>(0x0004 | more_flags));
        put(at + 20, id);
    }
    std::vector<uint8_t> packet() const {
        std::vector<uint8_t> bytes = {0x00, 0x08, 0x00, 0x01, 0, 0, 0, 0};
        bytes.insert(bytes.end(), chunk_.begin(), chunk_.end());
        return bytes;
    }

  private:
    std::vector<uint8_t> chunk_;
};

std::vector<uint16_t> ids_of(const dm_domain_list& list) {
    std::vector<uint16_t> ids;
    for (const avn_domain_entry& entry : list.entries) {
        ids.push_back(entry.info.id);
    }
    return ids;
}

TEST(DmDomainList, HandWrittenLists) {
    struct Case {
        const char* what;
        std::function<HandList()> make;
        std::vector<uint16_t> ids;
        bool unreadable;
    };
    // Array at 16: count at 16, offsets from 20; items from 64.
    const Case cases[] = {
        {"three offsets of one item", [] {
             HandList h(128);
             h.header(0x0001, 16);
             h.put(16, 3);
             h.put(20, 64);
             h.put(22, 64);
             h.put(24, 64);
             h.item(64, 7);
             return h;
         }, {7}, false},
        {"two items with one id", [] {
             HandList h(128);
             h.header(0x0001, 16);
             h.put(16, 2);
             h.put(20, 64);
             h.put(22, 96);
             h.item(64, 7);
             h.item(96, 7);
             return h;
         }, {7}, false},
        {"count 0xFFFF: the offsets cannot fit", [] {
             HandList h(128);
             h.header(0x0001, 16);
             h.put(16, 0xFFFF);
             h.item(64, 7);
             return h;
         }, {}, true},
        {"an item offset into the chunk header stops the walk", [] {
             HandList h(128);
             h.header(0x0001, 16);
             h.put(16, 2);
             h.put(20, 64);
             h.put(22, 4);
             h.item(64, 7);
             return h;
         }, {7}, true},
        {"an item offset into the padding after the last item", [] {
             HandList h(128);
             h.header(0x0001, 16);
             h.put(16, 2);
             h.put(20, 64);
             h.put(22, 120);  // 8 bytes left: too short for an item
             h.item(64, 7);
             return h;
         }, {7}, true},
        {"a partial update keeps only ids in its range, never ADHOC's", [] {
             HandList h(192);
             h.header(0x0003, 16, 5, 0xFFFF);
             h.put(16, 3);
             h.put(20, 64);
             h.put(22, 96);
             h.put(24, 128);
             h.item(64, 4);       // below the range
             h.item(96, 6);
             h.item(128, 0xFFFF); // the ADHOC id
             return h;
         }, {6}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const dm_domain_list list = dm_domain_list_parse(c.make().packet());
        ASSERT_EQ(list.status, dm_domain_list_status::ok);
        EXPECT_EQ(ids_of(list), c.ids);
        EXPECT_EQ(list.item_unreadable, c.unreadable);
    }
}

// The 0x01C0 form: a byte count and the offsets of the mask and the value
// bytes; the bytes not given keep their defaults (known, not granted).
TEST(DmDomainList, HandWrittenAccessBitmaps) {
    HandList h(128);
    h.header(0x0001, 16);
    h.put(16, 1);
    h.put(20, 64);
    h.item(64, 7, 0x01C0);
    h.put(64 + 42, 1);    // one byte of each
    h.put(64 + 44, 112);  // mask: positions 0 and 1 known
    h.put(64 + 46, 116);  // value: position 0 granted
    h.put_bytes(112, {0x03});
    h.put_bytes(116, {0x01});
    const dm_domain_list list = dm_domain_list_parse(h.packet());
    ASSERT_EQ(list.entries.size(), 1u);
    EXPECT_EQ(list.entries[0].access, 0x3u);  // bit 0 always, bit 1 for position 0
}

avn_domain_entry entry_with_id(uint16_t id) {
    avn_domain_entry entry{};
    entry.info.id = id;
    entry.info.uuid.bytes[0] = static_cast<uint8_t>(id >> 8);
    entry.info.uuid.bytes[1] = static_cast<uint8_t>(id);
    entry.info.uuid.bytes[2] = 0xD0;
    return entry;
}

// However many partial updates arrive, the list stays within its cap, and
// the ADHOC entry stays, even under a range that covers its id.
TEST(DomainList, PartialUpdatesStayBoundedAndKeepAdhoc) {
    DomainList list;
    list.replace(std::vector<avn_domain_entry>{avn_domain_adhoc_entry()});
    uint16_t next_id = 1;
    for (int update = 0; update < 40; ++update) {
        // Each update covers fresh ids up to 0xFFFF (ADHOC's id too), so
        // nothing held before is in its range: without a cap it would only
        // ever grow.
        const uint16_t first = next_id;
        std::vector<avn_domain_entry> entries;
        for (int i = 0; i < 1000; ++i) {
            entries.push_back(entry_with_id(next_id++));
        }
        entries.push_back(entry_with_id(first));  // the same id twice
        list.merge(entries, first, 0xFFFF);
        ASSERT_LE(list.count(), DM_DOMAIN_LIST_MAX_ENTRIES);
        ASSERT_NE(list.find_by_id(AVN_DOMAIN_ID_ADHOC), nullptr);
        EXPECT_TRUE(avn_domain_uuid_is_adhoc(&list.at(0)->info.uuid));
    }
}

}  // namespace
