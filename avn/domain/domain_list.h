// The domain handler's list of domains: lookups, and the two ways a received
// list is applied (a full replacement, or a partial update of an id range).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "avn/runtime/avn_domain.h"

class DomainList {
public:
    size_t count() const { return entries_.size(); }
    const avn_domain_entry* at(size_t index) const;
    const avn_domain_entry* find_by_id(uint16_t id) const;
    const avn_domain_entry* find_by_uuid(const avn_domain_uuid& uuid) const;
    const avn_domain_entry* find_by_name(const char* name) const;

    // Both return true when the list changed.
    bool replace(std::span<const avn_domain_entry> entries);
    // Entries with ids outside first..last stay in place; those inside are
    // replaced by the first new entry with the same id or dropped; new
    // entries not used that way are appended. The ADHOC entry always stays
    // where it is; a new entry whose id or uuid the list already holds, or
    // one beyond DM_DOMAIN_LIST_MAX_ENTRIES, is not appended.
    bool merge(std::span<const avn_domain_entry> entries, uint16_t first_id, uint16_t last_id);

private:
    std::vector<avn_domain_entry> entries_;
};
