#include "avn/domain/domain_list.h"

#include <cstring>

#include "avn/domain/dm_domain_list.h"

const avn_domain_entry* DomainList::at(size_t index) const {
    return index < entries_.size() ? &entries_[index] : nullptr;
}

const avn_domain_entry* DomainList::find_by_id(uint16_t id) const {
    for (const avn_domain_entry& entry : entries_) {
        if (entry.info.id == id) {
            return &entry;
        }
    }
    return nullptr;
}

const avn_domain_entry* DomainList::find_by_uuid(const avn_domain_uuid& uuid) const {
    for (const avn_domain_entry& entry : entries_) {
        if (avn_domain_uuid_compare(&entry.info.uuid, &uuid) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

const avn_domain_entry* DomainList::find_by_name(const char* name) const {
    for (const avn_domain_entry& entry : entries_) {
        if (std::strncmp(entry.info.name, name, AVN_DOMAIN_NAME_SIZE) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

bool DomainList::replace(std::span<const avn_domain_entry> entries) {
    bool same = entries.size() == entries_.size();
    for (size_t i = 0; same && i < entries.size(); ++i) {
        same = avn_domain_entry_equal(&entries[i], &entries_[i]);
    }
    if (same) {
        return false;
    }
    entries_.assign(entries.begin(), entries.end());
    return true;
}

bool DomainList::merge(std::span<const avn_domain_entry> entries, uint16_t first_id,
                       uint16_t last_id) {
    std::vector<bool> used(entries.size(), false);
    std::vector<avn_domain_entry> merged;
    merged.reserve(entries_.size() + entries.size());
    for (const avn_domain_entry& current : entries_) {
        const uint16_t id = current.info.id;
        if (id < first_id || id > last_id || avn_domain_uuid_is_adhoc(&current.info.uuid)) {
            merged.push_back(current);
            continue;
        }
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!used[i] && entries[i].info.id == id) {
                used[i] = true;
                merged.push_back(entries[i]);
                break;
            }
        }
    }
    const auto held = [&merged](const avn_domain_info& info) {
        const bool has_uuid = !avn_domain_uuid_is_none(&info.uuid);
        for (const avn_domain_entry& entry : merged) {
            if ((info.id != 0 && entry.info.id == info.id) ||
                (has_uuid && avn_domain_uuid_compare(&entry.info.uuid, &info.uuid) == 0)) {
                return true;
            }
        }
        return false;
    };
    for (size_t i = 0; i < entries.size() && merged.size() < DM_DOMAIN_LIST_MAX_ENTRIES; ++i) {
        if (!used[i] && !held(entries[i].info)) {
            merged.push_back(entries[i]);
        }
    }
    return replace(merged);
}
