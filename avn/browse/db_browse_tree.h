// The tree of a browse: one node per advertised device name (kept in name
// order without regard to ASCII case), holding per network the services
// seen and, per service, the data of its latest advert; media channels with
// their labels; SDP sessions.
//
// The sub-browsers write into it only through these operations. Each takes
// the advert's network number and raises the caller's `changed` flag when
// anything changed; updates copy only what differs and call the node
// callback only on a real change, so a repeated advert costs no callback.
// Every operation either completes or leaves the tree as it was.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/browse/db_browse.h"
#include "avn/browse/db_txt.h"
#include "avn/runtime/aud_error.h"

struct db_browse_tree;

// Results of removals that find nothing; the sub-browsers carry on.
enum : aud_error {
    DB_BROWSE_ERR_NO_DEVICE = 512,
    DB_BROWSE_ERR_NO_CHANNEL = 513,
    DB_BROWSE_ERR_NO_SESSION = 514,
};

enum : size_t { DB_BROWSE_NAME_SIZE = 32, DB_BROWSE_ROUTER_INFO_SIZE = 64 };

// The data of one service's latest advert.
struct db_browse_conmon_data {
    uint16_t port;
    db_instance_id instance_id;
    uint8_t vid[DB_ID_SIZE];
    uint8_t vba[4];
    uint8_t manufacturer_id[DB_ID_SIZE];
    uint8_t model_id[DB_ID_SIZE];
    uint32_t channels;
};

struct db_browse_media_data {
    uint16_t port;
    db_version arcp_vers;
    db_version arcp_min;
    db_version router_vers;
    char router_info[DB_BROWSE_ROUTER_INFO_SIZE];
    uint8_t manufacturer_id[DB_ID_SIZE];
    uint8_t model_id[DB_ID_SIZE];
};

struct db_browse_via_data {
    uint16_t port;
    db_instance_id instance_id;
    db_version vers_min;
    db_version vers_curr;
};

struct db_browse_mode_data {
    db_instance_id instance_id;
    uint16_t value;  // "safe" or "upgr"
};

// What a channel advert says about the channel.
struct db_browse_channel_data {
    uint16_t id;
    uint32_t rate;
    uint32_t pcm_mask;
    uint32_t pcm_width;
    uint32_t first_encoding;
    uint32_t other_count;
    uint32_t others[DB_CHANNEL_MAX_ENCODINGS];
};

// A node callback may be none; the owner is handed to it.
aud_error db_browse_tree_new(db_browse* owner, uint32_t types, db_browse_tree** out);
// Frees every node without callbacks.
void db_browse_tree_delete(db_browse_tree* tree);

void db_browse_tree_set_network_count(db_browse_tree* tree, uint32_t count);
void db_browse_tree_set_node_callback(db_browse_tree* tree, db_browse_node_callback callback);
void db_browse_tree_set_tree_changed_callback(db_browse_tree* tree,
                                              db_browse_tree_changed_callback callback);
// Calls the tree-changed callback (once per processing pass that changed it).
void db_browse_tree_notify_changed(db_browse_tree* tree);

size_t db_browse_tree_get_node_count(const db_browse_tree* tree);
db_browse_node* db_browse_tree_get_node_at(const db_browse_tree* tree, size_t index);
// The node whose name equals without regard to ASCII case, or none.
db_browse_node* db_browse_tree_find(const db_browse_tree* tree, const char* name);

// ---- Updates (find or add the node; INVALIDPARAMETER for a name of 32
// characters or more; NOMEMORY) ----

aud_error db_browse_tree_update_conmon_device(db_browse_tree* tree, uint32_t network,
                                              const char* name, const char* host, uint16_t port,
                                              const db_conmon_txt* txt, bool* changed);
aud_error db_browse_tree_update_media_device(db_browse_tree* tree, uint32_t network,
                                             const char* name, const char* host, uint16_t port,
                                             const db_media_txt* txt, bool* changed);
// service is DB_BROWSE_TYPE_SAFE_MODE or DB_BROWSE_TYPE_UPGRADE_MODE.
aud_error db_browse_tree_update_mode_device(db_browse_tree* tree, uint32_t service,
                                            uint32_t network, const char* name, const char* host,
                                            const db_instance_id* instance_id, uint16_t value,
                                            bool* changed);
aud_error db_browse_tree_update_via_device(db_browse_tree* tree, uint32_t network, const char* name,
                                           const char* host, uint16_t port, const db_via_txt* txt,
                                           bool* changed);
// The channel's default name when is_default, else a label of the channel.
aud_error db_browse_tree_update_media_channel(db_browse_tree* tree, uint32_t network,
                                              const char* device, const char* channel_name,
                                              const db_browse_channel_data* data, bool is_default,
                                              bool* changed);

// ---- Removals (names compared exactly) ----

// Clears one device service's bit for the network. NO_DEVICE when unknown.
aud_error db_browse_tree_remove_service(db_browse_tree* tree, uint32_t service, uint32_t network,
                                        const char* name, bool* changed);
// Clears every device service for the network, with one callback.
aud_error db_browse_tree_remove_all_services(db_browse_tree* tree, uint32_t network,
                                             const char* name, bool* changed);
// Clears the channel's bit (by default name) or the label's.
aud_error db_browse_tree_remove_media_channel(db_browse_tree* tree, uint32_t network,
                                              const char* device, const char* channel_name,
                                              bool* changed);
// Removes every node, with removal callbacks when asked.
void db_browse_tree_clear(db_browse_tree* tree, bool callbacks);
