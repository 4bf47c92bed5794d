#include "avn/domain/dm_domain_list.h"

#include <algorithm>
#include <cstring>

#include "avn/runtime/byte_order.h"

namespace {

using byte_order::load_be16;
using byte_order::store_be16;

constexpr uint16_t kPacketType = 1;
constexpr uint16_t kUnpaddedMessageType = 0x8005;
constexpr size_t kChunkHeaderSize = 8;
constexpr size_t kListHeaderSize = 8;
constexpr size_t kItemMinSize = 20;
constexpr size_t kItemWithFlagsWordSize = 56;

enum : uint16_t {
    kListHasArray = 0x0001,
    kListIsPartial = 0x0002,
};

enum : uint16_t {
    kItemUuid = 0x0001,
    kItemName = 0x0002,
    kItemId = 0x0004,
    kItemRole = 0x0008,
    kItemExtraUuid = 0x0010,
    kItemAccessBlock = 0x0020,
    kItemAccessBitmaps = 0x01C0,
    kItemExtraName = 0x0200,
    kItemFlagsWord = 0x0400,
};

enum : size_t {
    kAtUuid = 2,
    kAtName = 18,
    kAtId = 20,
    kAtRole = 22,
    kAtExtraUuid = 24,
    kAtAccessBlock = 40,
    kAtBitmapCount = 42,
    kAtBitmapMask = 44,
    kAtBitmapValue = 46,
    kAtExtraName = 48,
    kAtFlagsWord = 52,
};

constexpr size_t kAccessBytes = 4;
constexpr size_t kAccessBlockSize = 10;
constexpr int kAccessPositions = 28;

// The message chunk: its bytes (D long) and where its data region starts.
struct message_view {
    std::span<const uint8_t> bytes;
    size_t data_start = 0;

    bool holds(size_t at, size_t length) const {
        return at <= bytes.size() && length <= bytes.size() - at;
    }
    // An offset that names `length` bytes of the data region.
    bool usable(uint16_t offset, size_t length) const {
        return offset != 0 && offset >= data_start && holds(offset, length);
    }
    uint16_t u16(size_t at) const { return load_be16(bytes.data() + at); }
    // A zero-terminated string at the offset, or none when it does not end
    // inside the message.
    std::optional<std::string_view> string_at(uint16_t offset) const {
        if (!usable(offset, 1)) {
            return std::nullopt;
        }
        const auto* start = reinterpret_cast<const char*>(bytes.data() + offset);
        const size_t room = bytes.size() - offset;
        const void* end = std::memchr(start, '\0', room);
        if (end == nullptr) {
            return std::nullopt;
        }
        return std::string_view(start, static_cast<size_t>(static_cast<const char*>(end) - start));
    }
};

size_t round_up4(size_t value) { return (value + 3) & ~size_t{3}; }

std::optional<message_view> read_message(std::span<const uint8_t> payload, size_t header_length) {
    if (!(round_up4(header_length) + 4 < payload.size())) {
        return std::nullopt;
    }
    const std::span<const uint8_t> rest = payload.subspan(header_length);
    if (rest.size() < kChunkHeaderSize) {
        return std::nullopt;
    }
    const size_t total = load_be16(rest.data());
    const uint16_t type = load_be16(rest.data() + 2);
    const size_t header_part = load_be16(rest.data() + 4);
    const size_t data_length = load_be16(rest.data() + 6);
    const bool padded = type == kUnpaddedMessageType || (header_part % 4 == 0 && data_length % 4 == 0);
    if (total % 4 != 0 || total < kChunkHeaderSize || total > rest.size() ||
        total < header_part + data_length + kChunkHeaderSize || !padded) {
        return std::nullopt;
    }
    message_view message{rest.first(total), kChunkHeaderSize + header_part};
    if (!message.holds(message.data_start, kListHeaderSize)) {
        return std::nullopt;
    }
    return message;
}

bool bit_set(const uint8_t* bitmap, int position) {
    return (bitmap[position / 8] >> (position % 8)) & 1;
}

// The user's access word from the role and the item's bitmaps.
uint32_t access_word(uint32_t role, const uint8_t* mask, const uint8_t* value) {
    uint32_t access = role == AVN_DOMAIN_ROLE_FULL_ACCESS ? 0xFFFFFFFFu : 0;
    access |= 1u;
    for (int i = 0; i < kAccessPositions; ++i) {
        if (!bit_set(mask, i)) {
            continue;
        }
        const uint32_t bit = 1u << (i + 1);
        access = bit_set(value, i) ? access | bit : access & ~bit;
    }
    return access;
}

uint32_t entry_flags(const message_view& message, size_t item, uint16_t item_flags) {
    if ((item_flags & kItemFlagsWord) == 0) {
        return 0x2;
    }
    const uint16_t word = message.u16(item + kAtFlagsWord);
    uint32_t flags = 0;
    flags |= (word & 0x1) ? 0x1 : 0;
    flags |= (word & 0x4) ? 0x2 : 0;
    flags |= (word & 0x8) ? 0x8 : 0;
    flags |= (word & 0x2) ? 0x4 : 0;
    return flags;
}

enum class item_result { ok, unreadable, name_too_long };

item_result read_item(const message_view& message, uint16_t offset, avn_domain_entry* entry) {
    if (!message.usable(offset, kItemMinSize)) {
        return item_result::unreadable;
    }
    const size_t item = offset;
    const uint16_t flags = message.u16(item);
    // Every field the flags announce lies inside the item's fixed part.
    size_t needed = kItemMinSize;
    if (flags & kItemId) needed = std::max<size_t>(needed, kAtId + 2);
    if (flags & kItemRole) needed = std::max<size_t>(needed, kAtRole + 2);
    if (flags & kItemExtraUuid) needed = std::max<size_t>(needed, kAtExtraUuid + 16);
    if (flags & (kItemAccessBlock | kItemAccessBitmaps)) needed = std::max<size_t>(needed, kAtBitmapValue + 2);
    if (flags & kItemExtraName) needed = std::max<size_t>(needed, kAtExtraName + 2);
    if (flags & kItemFlagsWord) needed = std::max(needed, kItemWithFlagsWordSize);
    if (!message.holds(item, needed)) {
        return item_result::unreadable;
    }

    *entry = avn_domain_entry{};
    avn_domain_info& info = entry->info;
    if (flags & kItemUuid) {
        std::memcpy(info.uuid.bytes, message.bytes.data() + item + kAtUuid, AVN_DOMAIN_UUID_SIZE);
    }
    if (flags & kItemName) {
        const auto name = message.string_at(message.u16(item + kAtName));
        if (!name) {
            return item_result::unreadable;
        }
        if (name->size() >= AVN_DOMAIN_NAME_SIZE) {
            return item_result::name_too_long;
        }
        std::memcpy(info.name, name->data(), name->size());
    }
    if (flags & kItemId) {
        info.id = message.u16(item + kAtId);
    }
    if (flags & kItemRole) {
        info.role = message.u16(item + kAtRole);
    }
    if (flags & kItemExtraUuid) {
        std::memcpy(info.extra_uuid.bytes, message.bytes.data() + item + kAtExtraUuid,
                    AVN_DOMAIN_UUID_SIZE);
    }
    if (flags & kItemExtraName) {
        const auto extra = message.string_at(message.u16(item + kAtExtraName));
        if (!extra) {
            return item_result::unreadable;
        }
        std::memcpy(info.extra_name, extra->data(), std::min(extra->size(), AVN_DOMAIN_NAME_SIZE - 1));
    }

    uint8_t mask[kAccessBytes] = {0xFF, 0xFF, 0xFF, 0x0F};
    uint8_t value[kAccessBytes] = {};
    if ((flags & kItemAccessBitmaps) == kItemAccessBitmaps) {
        const size_t count = std::min<size_t>(message.u16(item + kAtBitmapCount), kAccessBytes);
        const uint16_t mask_at = message.u16(item + kAtBitmapMask);
        const uint16_t value_at = message.u16(item + kAtBitmapValue);
        if (count > 0 && message.usable(mask_at, count)) {
            std::memcpy(mask, message.bytes.data() + mask_at, count);
        }
        if (count > 0 && message.usable(value_at, count)) {
            std::memcpy(value, message.bytes.data() + value_at, count);
        }
    } else if (flags & kItemAccessBlock) {
        const uint16_t block = message.u16(item + kAtAccessBlock);
        if (!message.usable(block, kAccessBlockSize)) {
            return item_result::unreadable;
        }
        const size_t count = std::min<size_t>(message.u16(block), kAccessBytes);
        std::memset(mask, 0, sizeof mask);
        std::memcpy(mask, message.bytes.data() + block + 2, count);
        std::memcpy(value, message.bytes.data() + block + 2 + kAccessBytes, count);
    }
    entry->flags = entry_flags(message, item, flags);
    entry->access = access_word(info.role, mask, value);
    return item_result::ok;
}

}  // namespace

namespace {

// Whether a read item joins the list (see the header). The lookups are
// linear, but the list is capped, so a message costs at most about 3000
// times the cap in comparisons.
bool keeps(const dm_domain_list& list, const avn_domain_entry& entry) {
    const avn_domain_info& info = entry.info;
    if (info.id == AVN_DOMAIN_ID_ADHOC || avn_domain_uuid_is_adhoc(&info.uuid)) {
        return false;
    }
    if (list.partial && (info.id < list.first_id || info.id > list.last_id)) {
        return false;
    }
    if (list.entries.size() >= DM_DOMAIN_LIST_MAX_ENTRIES) {
        return false;
    }
    // Id 0 and the all-zero uuid are what an item without them reads as.
    const bool has_uuid = !avn_domain_uuid_is_none(&info.uuid);
    for (const avn_domain_entry& held : list.entries) {
        if ((info.id != 0 && held.info.id == info.id) ||
            (has_uuid && avn_domain_uuid_compare(&held.info.uuid, &info.uuid) == 0)) {
            return false;
        }
    }
    return true;
}

}  // namespace

dm_domain_list dm_domain_list_parse(std::span<const uint8_t> payload) {
    dm_domain_list list;
    if (payload.size() < 4 || load_be16(payload.data()) < 8 ||
        load_be16(payload.data() + 2) != kPacketType) {
        list.status = dm_domain_list_status::packet_too_short;
        return list;
    }
    const auto message = read_message(payload, load_be16(payload.data()));
    if (!message) {
        list.status = dm_domain_list_status::no_message;
        return list;
    }
    const size_t header = message->data_start;
    const uint16_t list_flags = message->u16(header);
    list.partial = (list_flags & kListIsPartial) != 0;
    if (list.partial) {
        list.first_id = message->u16(header + 4);
        list.last_id = message->u16(header + 6);
    }
    list.status = dm_domain_list_status::ok;
    if ((list_flags & kListHasArray) == 0) {
        return list;
    }
    const uint16_t array = message->u16(header + 2);
    if (!message->usable(array, 4)) {
        return list;
    }
    const size_t count = message->u16(array);
    if (!message->holds(array + 4, count * 2)) {
        list.item_unreadable = count > 0;
        return list;
    }
    std::vector<bool> offset_seen(0x10000, false);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t offset = message->u16(array + 4 + 2 * i);
        if (offset_seen[offset]) {
            ++list.items_dropped;  // the same item again
            continue;
        }
        offset_seen[offset] = true;
        avn_domain_entry entry;
        switch (read_item(*message, offset, &entry)) {
        case item_result::ok:
            if (keeps(list, entry)) {
                list.entries.push_back(entry);
            } else {
                ++list.items_dropped;
            }
            break;
        case item_result::name_too_long:
            ++list.names_too_long;
            break;
        case item_result::unreadable:
            list.item_unreadable = true;
            return list;
        }
    }
    return list;
}

// ---- Building ----

namespace {

class message_writer {
  public:
    explicit message_writer(size_t start) : start_(start) {}
    std::vector<uint8_t>& bytes() { return bytes_; }
    // Offset of `length` new zero bytes, padded to a multiple of 4.
    uint16_t reserve(size_t length) {
        const size_t at = bytes_.size();
        bytes_.resize(at + round_up4(length), 0);
        return static_cast<uint16_t>(at - start_);
    }
    uint8_t* at(uint16_t offset) { return bytes_.data() + start_ + offset; }
    uint16_t add_string(const std::string& text) {
        const uint16_t offset = reserve(text.size() + 1);
        std::memcpy(at(offset), text.data(), text.size());
        return offset;
    }

  private:
    size_t start_;
    std::vector<uint8_t> bytes_;
};

void write_item(message_writer& out, uint16_t item, const dm_domain_item& d) {
    uint16_t flags = 0;
    if (d.uuid) {
        flags |= kItemUuid;
        std::memcpy(out.at(item) + kAtUuid, d.uuid->bytes, AVN_DOMAIN_UUID_SIZE);
    }
    if (d.id) {
        flags |= kItemId;
        store_be16(out.at(item) + kAtId, *d.id);
    }
    if (d.role) {
        flags |= kItemRole;
        store_be16(out.at(item) + kAtRole, *d.role);
    }
    if (d.extra_uuid) {
        flags |= kItemExtraUuid;
        std::memcpy(out.at(item) + kAtExtraUuid, d.extra_uuid->bytes, AVN_DOMAIN_UUID_SIZE);
    }
    if (d.flags_word) {
        flags |= kItemFlagsWord;
        store_be16(out.at(item) + kAtFlagsWord, *d.flags_word);
    }
    // Strings and blocks go after the item; `out` may move, so offsets only.
    if (d.name) {
        const uint16_t name = out.add_string(*d.name);
        flags |= kItemName;
        store_be16(out.at(item) + kAtName, name);
    }
    if (d.extra_name) {
        const uint16_t extra = out.add_string(*d.extra_name);
        flags |= kItemExtraName;
        store_be16(out.at(item) + kAtExtraName, extra);
    }
    if (d.access) {
        const uint16_t block = out.reserve(kAccessBlockSize);
        store_be16(out.at(block), d.access->count);
        std::memcpy(out.at(block) + 2, d.access->mask, kAccessBytes);
        std::memcpy(out.at(block) + 2 + kAccessBytes, d.access->value, kAccessBytes);
        flags |= kItemAccessBlock;
        store_be16(out.at(item) + kAtAccessBlock, block);
    }
    store_be16(out.at(item), flags);
}

}  // namespace

std::vector<uint8_t> dm_domain_list_build(std::span<const dm_domain_item> items,
                                          std::optional<std::pair<uint16_t, uint16_t>> range) {
    constexpr size_t kPacketHeaderSize = 24;
    constexpr uint16_t kListMessageType = 3;
    message_writer out(kPacketHeaderSize);
    std::vector<uint8_t>& bytes = out.bytes();
    bytes.resize(kPacketHeaderSize, 0);
    store_be16(bytes.data(), kPacketHeaderSize);
    store_be16(bytes.data() + 2, kPacketType);
    store_be16(bytes.data() + 4, 0x1000);
    bytes[7] = 8;  // first option slot; the slots stay free

    out.reserve(kChunkHeaderSize + 4);  // chunk header, header part
    const uint16_t list_header = out.reserve(kListHeaderSize);
    const uint16_t array = out.reserve(4 + 2 * items.size());
    uint16_t list_flags = kListHasArray;
    store_be16(out.at(list_header + 2), array);
    if (range) {
        list_flags |= kListIsPartial;
        store_be16(out.at(list_header + 4), range->first);
        store_be16(out.at(list_header + 6), range->second);
    }
    store_be16(out.at(list_header), list_flags);
    store_be16(out.at(array), static_cast<uint16_t>(items.size()));
    for (size_t i = 0; i < items.size(); ++i) {
        const uint16_t item = out.reserve(kItemWithFlagsWordSize);
        store_be16(out.at(static_cast<uint16_t>(array + 4 + 2 * i)), item);
        write_item(out, item, items[i]);
    }
    const size_t total = bytes.size() - kPacketHeaderSize;
    if (total > 0xFFFF) {
        return {};  // more than one message chunk can describe
    }
    store_be16(out.at(0), static_cast<uint16_t>(total));
    store_be16(out.at(2), kListMessageType);
    store_be16(out.at(4), 4);                 // header part: sequence, status
    store_be16(out.at(6), kListHeaderSize);  // the list header; the rest is reached by offsets
    return bytes;
}
