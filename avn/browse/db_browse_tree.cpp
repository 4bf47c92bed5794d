#include "avn/browse/db_browse_tree.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint32_t kOutsideSlot = DB_BROWSE_MAX_NETWORKS;
constexpr uint32_t kSlots = DB_BROWSE_MAX_NETWORKS + 1;
constexpr size_t kFirstNodes = 8;
constexpr size_t kFirstChannels = 2;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int compare_ignoring_case(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const auto ca = static_cast<unsigned char>(lower(*a));
        const auto cb = static_cast<unsigned char>(lower(*b));
        if (ca != cb || ca == 0) {
            return ca < cb ? -1 : (ca > cb ? 1 : 0);
        }
    }
}

// Copies text (cut to fit) when it differs; true when it did.
bool copy_text(char* field, size_t size, const char* text) {
    char value[256];
    const size_t n =
        std::min(std::strlen(text != nullptr ? text : ""), std::min(size - 1, sizeof value - 1));
    if (n > 0) {
        std::memcpy(value, text, n);
    }
    value[n] = '\0';
    if (std::strcmp(field, value) == 0) {
        return false;
    }
    std::memcpy(field, value, n + 1);
    return true;
}

template <typename T>
bool copy_field(T& field, const T& value) {
    if (std::memcmp(&field, &value, sizeof(T)) == 0) {
        return false;
    }
    std::memcpy(&field, &value, sizeof(T));
    return true;
}

}  // namespace

struct db_browse_label {
    db_browse_channel* owner = nullptr;
    uint32_t flags[kSlots] = {};
    char name[DB_BROWSE_NAME_SIZE] = {};
};

struct db_browse_channel {
    db_browse_node* owner = nullptr;
    uint32_t flags[kSlots] = {};
    char default_name[DB_BROWSE_NAME_SIZE] = {};
    db_browse_channel_data data{};
    std::vector<db_browse_label*> labels;  // in name order
};

struct db_browse_node {
    db_browse_tree* tree = nullptr;
    uint32_t flags = 0;
    uint32_t network_flags[kSlots] = {};
    char name[DB_BROWSE_NAME_SIZE] = {};
    char host_name[DB_BROWSE_NAME_SIZE] = {};
    db_browse_conmon_data conmon{};
    db_browse_via_data via{};
    db_browse_media_data media{};
    std::vector<db_browse_channel*> channels;  // in order of channel id
    db_browse_mode_data safe_mode{};
    db_browse_mode_data upgrade_mode{};
};

struct db_browse_tree {
    db_browse* owner = nullptr;
    uint32_t network_count = 1;
    uint32_t types = 0;
    db_browse_node_callback node_callback = nullptr;
    db_browse_tree_changed_callback tree_changed_callback = nullptr;
    std::vector<db_browse_node*> nodes;  // in name order, without regard to case
};

namespace {

void report(db_browse_tree* tree, uint32_t kind, void* object, int change_type) {
    if (tree->node_callback != nullptr) {
        const db_browse_change change{kind, object};
        tree->node_callback(tree->owner, &change, change_type);
    }
}

void free_channel(db_browse_channel* channel) {
    for (db_browse_label* label : channel->labels) {
        delete label;
    }
    delete channel;
}

void free_node(db_browse_node* node) {
    for (db_browse_channel* channel : node->channels) {
        free_channel(channel);
    }
    delete node;
}

uint32_t slot_of(const db_browse_tree* tree, uint32_t network) {
    return network < tree->network_count ? network : kOutsideSlot;
}

void recompute(db_browse_node* node) {
    node->flags = node->network_flags[0] | node->network_flags[1] | node->network_flags[2];
}

// Finds the node (without regard to case) or adds it. *added tells which.
aud_error find_or_add(db_browse_tree* tree, const char* name, db_browse_node** out, bool* added) {
    if (name == nullptr || name[0] == '\0') {
        return AUD_ERR_INVALIDPARAMETER;
    }
    size_t at = 0;
    for (; at < tree->nodes.size(); ++at) {
        const int order = compare_ignoring_case(tree->nodes[at]->name, name);
        if (order == 0) {
            *out = tree->nodes[at];
            *added = false;
            return AUD_SUCCESS;
        }
        if (order > 0) {
            break;
        }
    }
    if (std::strlen(name) >= DB_BROWSE_NAME_SIZE) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* node = new (std::nothrow) db_browse_node;
    if (node == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    try {
        if ((tree->types & DB_BROWSE_TYPE_MEDIA_CHANNEL) != 0) {
            node->channels.reserve(kFirstChannels);
        }
        if (tree->nodes.size() == tree->nodes.capacity()) {
            tree->nodes.reserve(std::max(kFirstNodes, tree->nodes.capacity() * 2));
        }
        tree->nodes.insert(tree->nodes.begin() + static_cast<ptrdiff_t>(at), node);
    } catch (const std::bad_alloc&) {
        delete node;
        return AUD_ERR_NOMEMORY;
    }
    node->tree = tree;
    std::memcpy(node->name, name, std::strlen(name) + 1);
    *out = node;
    *added = true;
    return AUD_SUCCESS;
}

// The node whose name equals exactly, or none.
db_browse_node* find_exact(const db_browse_tree* tree, const char* name, size_t* index) {
    for (size_t i = 0; name != nullptr && i < tree->nodes.size(); ++i) {
        if (std::strcmp(tree->nodes[i]->name, name) == 0) {
            if (index != nullptr) {
                *index = i;
            }
            return tree->nodes[i];
        }
    }
    return nullptr;
}

// Sets the service's bit for the slot; true when it was not set.
bool set_service(db_browse_node* node, uint32_t slot, uint32_t service) {
    if ((node->network_flags[slot] & service) != 0) {
        return false;
    }
    node->network_flags[slot] |= service;
    recompute(node);
    return true;
}

// The end of an update: callback and flag when something changed.
void finish_update(db_browse_tree* tree, db_browse_node* node, bool added, bool differs,
                   bool* changed) {
    if (!differs && !added) {
        return;
    }
    if (changed != nullptr) {
        *changed = true;
    }
    report(tree, DB_BROWSE_CHANGE_KIND_NODE, node,
           added ? DB_BROWSE_CHANGE_ADDED : DB_BROWSE_CHANGE_MODIFIED);
}

void remove_node_at(db_browse_tree* tree, size_t index, bool callbacks) {
    db_browse_node* node = tree->nodes[index];
    tree->nodes.erase(tree->nodes.begin() + static_cast<ptrdiff_t>(index));
    if (callbacks) {
        report(tree, DB_BROWSE_CHANGE_KIND_NODE, node, DB_BROWSE_CHANGE_REMOVED);
    }
    free_node(node);
}

// After services or channels went: report the node modified, or remove it
// when nothing is left.
void settle_node(db_browse_tree* tree, db_browse_node* node) {
    if (node->flags != 0 || !node->channels.empty()) {
        report(tree, DB_BROWSE_CHANGE_KIND_NODE, node, DB_BROWSE_CHANGE_MODIFIED);
        return;
    }
    const auto it = std::find(tree->nodes.begin(), tree->nodes.end(), node);
    if (it != tree->nodes.end()) {
        remove_node_at(tree, static_cast<size_t>(it - tree->nodes.begin()), true);
    }
}

// Clears service bits of a slot, zeroing the data of services gone from
// every network. False when none of them was set.
bool clear_services(db_browse_node* node, uint32_t slot, uint32_t services) {
    if ((node->network_flags[slot] & services) == 0) {
        return false;
    }
    node->network_flags[slot] &= ~services;
    recompute(node);
    const uint32_t gone = services & ~node->flags;
    if ((gone & DB_BROWSE_TYPE_CONMON_DEVICE) != 0) {
        node->conmon = db_browse_conmon_data{};
    }
    if ((gone & DB_BROWSE_TYPE_MEDIA_DEVICE) != 0) {
        node->media = db_browse_media_data{};
    }
    if ((gone & DB_BROWSE_TYPE_VIA_DEVICE) != 0) {
        node->via = db_browse_via_data{};
    }
    if (node->flags == 0) {
        node->host_name[0] = '\0';
    }
    return true;
}

aud_error remove_services(db_browse_tree* tree, uint32_t services, uint32_t network,
                          const char* name, bool* changed) {
    db_browse_node* node = find_exact(tree, name, nullptr);
    if (node == nullptr) {
        return DB_BROWSE_ERR_NO_DEVICE;
    }
    if (!clear_services(node, slot_of(tree, network), services)) {
        return AUD_SUCCESS;
    }
    if (changed != nullptr) {
        *changed = true;
    }
    settle_node(tree, node);
    return AUD_SUCCESS;
}

bool label_order(const db_browse_label* a, const char* name) {
    return std::strcmp(a->name, name) < 0;
}

bool channel_empty(const db_browse_channel* channel) {
    return (channel->flags[0] | channel->flags[1] | channel->flags[2]) == 0 &&
           channel->labels.empty();
}

// Takes an empty channel out of its node (reported removed), then the node
// if it is left empty.
void drop_empty_channel(db_browse_tree* tree, db_browse_node* node, db_browse_channel* channel) {
    const auto it = std::find(node->channels.begin(), node->channels.end(), channel);
    if (it != node->channels.end()) {
        node->channels.erase(it);
    }
    report(tree, DB_BROWSE_CHANGE_KIND_CHANNEL, channel, DB_BROWSE_CHANGE_REMOVED);
    free_channel(channel);
    if (node->flags == 0 && node->channels.empty()) {
        settle_node(tree, node);
    }
}

}  // namespace

aud_error db_browse_tree_new(db_browse* owner, uint32_t types, db_browse_tree** out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* tree = new (std::nothrow) db_browse_tree;
    if (tree == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    tree->owner = owner;
    tree->types = types;
    *out = tree;
    return AUD_SUCCESS;
}

void db_browse_tree_delete(db_browse_tree* tree) {
    if (tree == nullptr) {
        return;
    }
    db_browse_tree_clear(tree, false);
    delete tree;
}

void db_browse_tree_set_network_count(db_browse_tree* tree, uint32_t count) {
    tree->network_count = std::min<uint32_t>(std::max<uint32_t>(count, 1), DB_BROWSE_MAX_NETWORKS);
}

void db_browse_tree_set_node_callback(db_browse_tree* tree, db_browse_node_callback callback) {
    tree->node_callback = callback;
}

void db_browse_tree_set_tree_changed_callback(db_browse_tree* tree,
                                              db_browse_tree_changed_callback callback) {
    tree->tree_changed_callback = callback;
}

void db_browse_tree_notify_changed(db_browse_tree* tree) {
    if (tree != nullptr && tree->tree_changed_callback != nullptr) {
        tree->tree_changed_callback(tree->owner);
    }
}

size_t db_browse_tree_get_node_count(const db_browse_tree* tree) {
    return tree != nullptr ? tree->nodes.size() : 0;
}

db_browse_node* db_browse_tree_get_node_at(const db_browse_tree* tree, size_t index) {
    return tree != nullptr && index < tree->nodes.size() ? tree->nodes[index] : nullptr;
}

db_browse_node* db_browse_tree_find(const db_browse_tree* tree, const char* name) {
    for (size_t i = 0; tree != nullptr && name != nullptr && i < tree->nodes.size(); ++i) {
        if (compare_ignoring_case(tree->nodes[i]->name, name) == 0) {
            return tree->nodes[i];
        }
    }
    return nullptr;
}

aud_error db_browse_tree_update_conmon_device(db_browse_tree* tree, uint32_t network,
                                              const char* name, const char* host, uint16_t port,
                                              const db_conmon_txt* txt, bool* changed) {
    db_browse_node* node = nullptr;
    bool added = false;
    if (const aud_error result = find_or_add(tree, name, &node, &added); result != AUD_SUCCESS) {
        return result;
    }
    const db_conmon_txt empty{};
    const db_conmon_txt& t = txt != nullptr ? *txt : empty;
    bool differs = set_service(node, slot_of(tree, network), DB_BROWSE_TYPE_CONMON_DEVICE);
    differs |= copy_text(node->host_name, sizeof node->host_name, host);
    db_browse_conmon_data& d = node->conmon;
    differs |= copy_field(d.port, port);
    differs |= copy_field(d.instance_id.device_id, t.instance_id.device_id);
    differs |= copy_field(d.instance_id.process_id, t.instance_id.process_id);
    differs |= copy_field(d.vid, t.vid);
    differs |= copy_field(d.vba, t.vba);
    differs |= copy_field(d.manufacturer_id, t.manufacturer_id);
    differs |= copy_field(d.model_id, t.model_id);
    differs |= copy_field(d.channels, t.channels);
    finish_update(tree, node, added, differs, changed);
    return AUD_SUCCESS;
}

aud_error db_browse_tree_update_media_device(db_browse_tree* tree, uint32_t network,
                                             const char* name, const char* host, uint16_t port,
                                             const db_media_txt* txt, bool* changed) {
    db_browse_node* node = nullptr;
    bool added = false;
    if (const aud_error result = find_or_add(tree, name, &node, &added); result != AUD_SUCCESS) {
        return result;
    }
    const db_media_txt empty{};
    const db_media_txt& t = txt != nullptr ? *txt : empty;
    bool differs = set_service(node, slot_of(tree, network), DB_BROWSE_TYPE_MEDIA_DEVICE);
    differs |= copy_text(node->host_name, sizeof node->host_name, host);
    db_browse_media_data& d = node->media;
    differs |= copy_field(d.port, port);
    differs |= copy_field(d.arcp_vers, t.arcp_vers);
    differs |= copy_field(d.arcp_min, t.arcp_min);
    differs |= copy_field(d.router_vers, t.router_vers);
    differs |= copy_text(d.router_info, sizeof d.router_info, t.router_info);
    differs |= copy_field(d.manufacturer_id, t.manufacturer_id);
    differs |= copy_field(d.model_id, t.model_id);
    finish_update(tree, node, added, differs, changed);
    return AUD_SUCCESS;
}

aud_error db_browse_tree_update_mode_device(db_browse_tree* tree, uint32_t service,
                                            uint32_t network, const char* name, const char* host,
                                            const db_instance_id* instance_id, uint16_t value,
                                            bool* changed) {
    if (service != DB_BROWSE_TYPE_SAFE_MODE && service != DB_BROWSE_TYPE_UPGRADE_MODE) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    db_browse_node* node = nullptr;
    bool added = false;
    if (const aud_error result = find_or_add(tree, name, &node, &added); result != AUD_SUCCESS) {
        return result;
    }
    const db_instance_id none{};
    db_browse_mode_data& d =
        service == DB_BROWSE_TYPE_SAFE_MODE ? node->safe_mode : node->upgrade_mode;
    bool differs = set_service(node, slot_of(tree, network), service);
    differs |= copy_text(node->host_name, sizeof node->host_name, host);
    differs |= copy_field(d.instance_id, instance_id != nullptr ? *instance_id : none);
    differs |= copy_field(d.value, value);
    finish_update(tree, node, added, differs, changed);
    return AUD_SUCCESS;
}

aud_error db_browse_tree_update_via_device(db_browse_tree* tree, uint32_t network, const char* name,
                                           const char* host, uint16_t port, const db_via_txt* txt,
                                           bool* changed) {
    db_browse_node* node = nullptr;
    bool added = false;
    if (const aud_error result = find_or_add(tree, name, &node, &added); result != AUD_SUCCESS) {
        return result;
    }
    const db_via_txt empty{};
    const db_via_txt& t = txt != nullptr ? *txt : empty;
    bool differs = set_service(node, slot_of(tree, network), DB_BROWSE_TYPE_VIA_DEVICE);
    differs |= copy_text(node->host_name, sizeof node->host_name, host);
    db_browse_via_data& d = node->via;
    differs |= copy_field(d.port, port);
    differs |= copy_field(d.instance_id, t.instance_id);
    differs |= copy_field(d.vers_min, t.vers_min);
    differs |= copy_field(d.vers_curr, t.vers_curr);
    finish_update(tree, node, added, differs, changed);
    return AUD_SUCCESS;
}

aud_error db_browse_tree_update_media_channel(db_browse_tree* tree, uint32_t network,
                                              const char* device, const char* channel_name,
                                              const db_browse_channel_data* data, bool is_default,
                                              bool* changed) {
    if (data == nullptr || channel_name == nullptr || channel_name[0] == '\0' ||
        std::strlen(channel_name) >= DB_BROWSE_NAME_SIZE) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    db_browse_node* node = nullptr;
    bool node_added = false;
    if (const aud_error result = find_or_add(tree, device, &node, &node_added);
        result != AUD_SUCCESS) {
        return result;
    }
    if (node_added) {
        if (changed != nullptr) {
            *changed = true;
        }
        report(tree, DB_BROWSE_CHANGE_KIND_NODE, node, DB_BROWSE_CHANGE_ADDED);
    }
    const uint32_t slot = slot_of(tree, network);
    auto it =
        std::lower_bound(node->channels.begin(), node->channels.end(), data->id,
                         [](const db_browse_channel* c, uint16_t id) { return c->data.id < id; });
    db_browse_channel* channel =
        it != node->channels.end() && (*it)->data.id == data->id ? *it : nullptr;
    const bool channel_added = channel == nullptr;
    if (channel_added) {
        channel = new (std::nothrow) db_browse_channel;
        bool inserted = false;
        if (channel != nullptr) {
            try {
                node->channels.insert(it, channel);
                inserted = true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (!inserted) {
            delete channel;
            if (node->flags == 0 && node->channels.empty()) {
                settle_node(tree, node);
            }
            return AUD_ERR_NOMEMORY;
        }
        channel->owner = node;
        channel->data = *data;
    }
    if (is_default) {
        if ((channel->flags[slot] & DB_BROWSE_TYPE_MEDIA_CHANNEL) != 0) {
            return AUD_SUCCESS;
        }
        channel->flags[slot] |= DB_BROWSE_TYPE_MEDIA_CHANNEL;
        copy_text(channel->default_name, sizeof channel->default_name, channel_name);
        if (changed != nullptr) {
            *changed = true;
        }
        report(tree, DB_BROWSE_CHANGE_KIND_CHANNEL, channel,
               channel_added ? DB_BROWSE_CHANGE_ADDED : DB_BROWSE_CHANGE_MODIFIED);
        return AUD_SUCCESS;
    }
    if (channel_added) {
        if (changed != nullptr) {
            *changed = true;
        }
        report(tree, DB_BROWSE_CHANGE_KIND_CHANNEL, channel, DB_BROWSE_CHANGE_ADDED);
    }
    auto at =
        std::lower_bound(channel->labels.begin(), channel->labels.end(), channel_name, label_order);
    db_browse_label* label =
        at != channel->labels.end() && std::strcmp((*at)->name, channel_name) == 0 ? *at : nullptr;
    const bool label_added = label == nullptr;
    if (label_added) {
        label = new (std::nothrow) db_browse_label;
        bool inserted = false;
        if (label != nullptr) {
            try {
                channel->labels.insert(at, label);
                inserted = true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (!inserted) {
            delete label;
            if (channel_empty(channel)) {
                drop_empty_channel(tree, node, channel);
            }
            return AUD_ERR_NOMEMORY;
        }
        label->owner = channel;
        copy_text(label->name, sizeof label->name, channel_name);
    }
    if ((label->flags[slot] & DB_BROWSE_TYPE_MEDIA_CHANNEL) == 0) {
        label->flags[slot] |= DB_BROWSE_TYPE_MEDIA_CHANNEL;
        if (changed != nullptr) {
            *changed = true;
        }
        report(tree, DB_BROWSE_CHANGE_KIND_LABEL, label,
               label_added ? DB_BROWSE_CHANGE_ADDED : DB_BROWSE_CHANGE_MODIFIED);
    }
    return AUD_SUCCESS;
}

aud_error db_browse_tree_remove_service(db_browse_tree* tree, uint32_t service, uint32_t network,
                                        const char* name, bool* changed) {
    return remove_services(tree, service & DB_BROWSE_TYPES_DEVICE, network, name, changed);
}

aud_error db_browse_tree_remove_all_services(db_browse_tree* tree, uint32_t network,
                                             const char* name, bool* changed) {
    return remove_services(tree, DB_BROWSE_TYPES_DEVICE, network, name, changed);
}

aud_error db_browse_tree_remove_media_channel(db_browse_tree* tree, uint32_t network,
                                              const char* device, const char* channel_name,
                                              bool* changed) {
    db_browse_node* node = find_exact(tree, device, nullptr);
    if (node == nullptr) {
        return DB_BROWSE_ERR_NO_DEVICE;
    }
    if (channel_name == nullptr) {
        return DB_BROWSE_ERR_NO_CHANNEL;
    }
    const uint32_t slot = slot_of(tree, network);
    for (db_browse_channel* channel : node->channels) {
        if (std::strcmp(channel->default_name, channel_name) == 0 &&
            (channel->flags[slot] & DB_BROWSE_TYPE_MEDIA_CHANNEL) != 0) {
            channel->flags[slot] &= ~DB_BROWSE_TYPE_MEDIA_CHANNEL;
            if (changed != nullptr) {
                *changed = true;
            }
            if (channel_empty(channel)) {
                drop_empty_channel(tree, node, channel);
            } else {
                report(tree, DB_BROWSE_CHANGE_KIND_CHANNEL, channel, DB_BROWSE_CHANGE_MODIFIED);
            }
            return AUD_SUCCESS;
        }
    }
    for (db_browse_channel* channel : node->channels) {
        for (size_t i = 0; i < channel->labels.size(); ++i) {
            db_browse_label* label = channel->labels[i];
            if (std::strcmp(label->name, channel_name) != 0 ||
                (label->flags[slot] & DB_BROWSE_TYPE_MEDIA_CHANNEL) == 0) {
                continue;
            }
            label->flags[slot] &= ~DB_BROWSE_TYPE_MEDIA_CHANNEL;
            if (changed != nullptr) {
                *changed = true;
            }
            if ((label->flags[0] | label->flags[1] | label->flags[2]) == 0) {
                channel->labels.erase(channel->labels.begin() + static_cast<ptrdiff_t>(i));
                report(tree, DB_BROWSE_CHANGE_KIND_LABEL, label, DB_BROWSE_CHANGE_REMOVED);
                delete label;
            }
            if (channel_empty(channel)) {
                drop_empty_channel(tree, node, channel);
            } else {
                report(tree, DB_BROWSE_CHANGE_KIND_CHANNEL, channel, DB_BROWSE_CHANGE_MODIFIED);
            }
            return AUD_SUCCESS;
        }
    }
    return DB_BROWSE_ERR_NO_CHANNEL;
}

void db_browse_tree_clear(db_browse_tree* tree, bool callbacks) {
    if (tree == nullptr) {
        return;
    }
    // Taken out first, so that a callback sees a tree without the node.
    while (!tree->nodes.empty()) {
        remove_node_at(tree, 0, callbacks);
    }
}

// ---- Accessors ----

namespace {

bool all_zero(const uint8_t* id) {
    return std::all_of(id, id + DB_ID_SIZE, [](uint8_t b) { return b == 0; });
}

}  // namespace

const char* db_browse_node_get_name(const db_browse_node* node) {
    return node != nullptr ? node->name : "";
}

const char* db_browse_node_get_host_name(const db_browse_node* node) {
    return node != nullptr ? node->host_name : "";
}

uint32_t db_browse_node_get_flags(const db_browse_node* node) {
    return node != nullptr ? node->flags : 0;
}

uint32_t db_browse_node_get_network_flags(const db_browse_node* node, uint32_t slot) {
    return node != nullptr && slot < kSlots ? node->network_flags[slot] : 0;
}

const db_instance_id* db_browse_node_get_instance_id(const db_browse_node* node) {
    if (node == nullptr) {
        return nullptr;
    }
    if ((node->flags & DB_BROWSE_TYPE_CONMON_DEVICE) != 0) {
        return &node->conmon.instance_id;
    }
    if ((node->flags & DB_BROWSE_TYPE_VIA_DEVICE) != 0) {
        return &node->via.instance_id;
    }
    return nullptr;
}

const uint8_t* db_browse_node_get_manufacturer_id(const db_browse_node* node) {
    if (node == nullptr) {
        return nullptr;
    }
    if ((node->flags & DB_BROWSE_TYPE_CONMON_DEVICE) != 0 &&
        !all_zero(node->conmon.manufacturer_id)) {
        return node->conmon.manufacturer_id;
    }
    if ((node->flags & DB_BROWSE_TYPE_MEDIA_DEVICE) != 0 &&
        !all_zero(node->media.manufacturer_id)) {
        return node->media.manufacturer_id;
    }
    return nullptr;
}

const uint8_t* db_browse_node_get_model_id(const db_browse_node* node) {
    if (node == nullptr) {
        return nullptr;
    }
    if ((node->flags & DB_BROWSE_TYPE_CONMON_DEVICE) != 0 && !all_zero(node->conmon.model_id)) {
        return node->conmon.model_id;
    }
    if ((node->flags & DB_BROWSE_TYPE_MEDIA_DEVICE) != 0 && !all_zero(node->media.model_id)) {
        return node->media.model_id;
    }
    return nullptr;
}

uint16_t db_browse_node_get_conmon_port(const db_browse_node* node) {
    return node != nullptr ? node->conmon.port : 0;
}

size_t db_browse_node_get_channel_count(const db_browse_node* node) {
    return node != nullptr ? node->channels.size() : 0;
}

db_browse_channel* db_browse_node_get_channel_at(const db_browse_node* node, size_t index) {
    return node != nullptr && index < node->channels.size() ? node->channels[index] : nullptr;
}

db_browse_node* db_browse_channel_get_node(const db_browse_channel* channel) {
    return channel != nullptr ? channel->owner : nullptr;
}

uint16_t db_browse_channel_get_id(const db_browse_channel* channel) {
    return channel != nullptr ? channel->data.id : 0;
}

const char* db_browse_channel_get_default_name(const db_browse_channel* channel) {
    return channel != nullptr ? channel->default_name : "";
}

size_t db_browse_channel_get_label_count(const db_browse_channel* channel) {
    return channel != nullptr ? channel->labels.size() : 0;
}

const char* db_browse_channel_get_label_at(const db_browse_channel* channel, size_t index) {
    return channel != nullptr && index < channel->labels.size() ? channel->labels[index]->name : "";
}
