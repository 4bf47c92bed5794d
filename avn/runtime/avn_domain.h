// AVN domains: the 16-byte identity, the public record, and a domain list
// entry with the user's flags and access word. Shared by the domain handler
// and every component that asks the domain provider about the current domain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

enum : size_t {
    AVN_DOMAIN_UUID_SIZE = 16,
    AVN_DOMAIN_NAME_SIZE = 128,
};

// All 0xFF bytes: the ADHOC pseudo-domain (no managed domain in force).
// All zero bytes: no domain named.
struct avn_domain_uuid {
    uint8_t bytes[AVN_DOMAIN_UUID_SIZE];
};

inline constexpr uint16_t AVN_DOMAIN_ID_ADHOC = 0xFFFF;
inline constexpr uint32_t AVN_DOMAIN_ADHOC_FLAGS = 5;
inline constexpr uint32_t AVN_DOMAIN_ADHOC_ACCESS = 0xFFFFFFFF;
// Role 3 starts the access word from all ones.
inline constexpr uint32_t AVN_DOMAIN_ROLE_FULL_ACCESS = 3;

struct avn_domain_info {
    avn_domain_uuid uuid;
    uint32_t role;
    uint16_t id;
    char name[AVN_DOMAIN_NAME_SIZE];
    avn_domain_uuid extra_uuid;
    char extra_name[AVN_DOMAIN_NAME_SIZE];
};

// One entry of a domain list: the record, its four flag bits and the
// access word.
struct avn_domain_entry {
    avn_domain_info info;
    uint32_t flags;
    uint32_t access;
};

namespace avn_domain_detail {

inline bool all_bytes(const avn_domain_uuid* uuid, uint8_t value) {
    for (uint8_t b : uuid->bytes) {
        if (b != value) {
            return false;
        }
    }
    return true;
}

}  // namespace avn_domain_detail

// Byte by byte as unsigned bytes: -1, 0 or 1.
inline int avn_domain_uuid_compare(const avn_domain_uuid* a, const avn_domain_uuid* b) {
    const int order = std::memcmp(a->bytes, b->bytes, AVN_DOMAIN_UUID_SIZE);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

inline avn_domain_uuid avn_domain_uuid_adhoc() {
    avn_domain_uuid uuid;
    std::memset(uuid.bytes, 0xFF, sizeof uuid.bytes);
    return uuid;
}

inline avn_domain_uuid avn_domain_uuid_none() {
    return avn_domain_uuid{};
}

inline bool avn_domain_uuid_is_adhoc(const avn_domain_uuid* uuid) {
    return avn_domain_detail::all_bytes(uuid, 0xFF);
}

inline bool avn_domain_uuid_is_none(const avn_domain_uuid* uuid) {
    return avn_domain_detail::all_bytes(uuid, 0x00);
}

inline avn_domain_entry avn_domain_adhoc_entry() {
    avn_domain_entry entry{};
    entry.info.uuid = avn_domain_uuid_adhoc();
    entry.info.id = AVN_DOMAIN_ID_ADHOC;
    entry.flags = AVN_DOMAIN_ADHOC_FLAGS;
    entry.access = AVN_DOMAIN_ADHOC_ACCESS;
    return entry;
}

inline bool avn_domain_entry_equal(const avn_domain_entry* a, const avn_domain_entry* b) {
    return avn_domain_uuid_compare(&a->info.uuid, &b->info.uuid) == 0 &&
           std::strncmp(a->info.name, b->info.name, AVN_DOMAIN_NAME_SIZE) == 0 &&
           std::strncmp(a->info.extra_name, b->info.extra_name, AVN_DOMAIN_NAME_SIZE) == 0 &&
           a->info.id == b->info.id && a->info.role == b->info.role &&
           avn_domain_uuid_compare(&a->info.extra_uuid, &b->info.extra_uuid) == 0 &&
           a->access == b->access && a->flags == b->flags;
}
