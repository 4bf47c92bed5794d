#include "avn/domain/dm_domain_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
