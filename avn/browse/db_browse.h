// The AVN API's device browser. A caller creates a browse on a runtime
// environment, says which kinds of advert it wants (a service types mask), on
// which networks and for which manufacturer, starts it, and is called back
// as devices appear, change and disappear while it steps the runtime.
//
// The browse collects nothing itself: it chooses sub-browsers from the
// current AVN domain (ad-hoc DNS-SD browsing while no managed domain is in
// force) and they write into its tree (db_browse_tree.h).
//
// Calling order: db_browse_config_init; db_browse_new; the setters;
// db_browse_start_config; step the runtime; db_browse_stop; db_browse_delete.
// Everything runs on the thread that steps the runtime.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/browse/db_txt.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/avn_domain.h"

struct db_browse;
struct db_browse_node;
struct db_browse_channel;
struct db_browse_label;

// One bit per kind of advert: the types mask of a browse and the service
// flags of a node.
enum : uint32_t {
    DB_BROWSE_TYPE_MEDIA_DEVICE = 0x01,
    DB_BROWSE_TYPE_MEDIA_CHANNEL = 0x02,
    DB_BROWSE_TYPE_CONMON_DEVICE = 0x04,
    DB_BROWSE_TYPE_SAFE_MODE = 0x08,
    DB_BROWSE_TYPE_UPGRADE_MODE = 0x10,
    DB_BROWSE_TYPE_VIA_DEVICE = 0x20,
    DB_BROWSE_TYPE_SAP = 0x40,
    DB_BROWSE_TYPE_SDP = 0x80,
    // The types that DNS-SD browse operations serve.
    DB_BROWSE_TYPES_DNSSD = 0x3F,
    // The device services (every DNS-SD type but the media channel).
    DB_BROWSE_TYPES_DEVICE = 0x3D,
    DB_BROWSE_TYPES_SESSION = 0xC0,
};

// Mode bits of the current domain: which sub-browsers are allowed.
enum : uint32_t {
    DB_BROWSE_MODE_ADHOC = 0x1,
    DB_BROWSE_MODE_DOMAIN = 0x2,
    DB_BROWSE_MODE_SAP = 0x4,
    DB_BROWSE_MODE_DOMAIN_SDP = 0x8,
};

enum : uint32_t { DB_BROWSE_MAX_NETWORKS = 2 };

struct db_browse_config {
    uint32_t network_count;                            // 1 or 2
    uint32_t interface_index[DB_BROWSE_MAX_NETWORKS];  // 0: fixed by the first advert
    uint32_t network_mask;                             // bit n: take adverts of network n
    uint32_t loopback;                                 // take loopback adverts as outside ones
    uint32_t resolve_timeout_seconds;
    uint32_t resolve_timeout_microseconds;
};

// One network, both indexes 0, every network, loopback taken, 30 s resolves.
void db_browse_config_init(db_browse_config* config);

// What a node callback is about.
enum : uint32_t {
    DB_BROWSE_CHANGE_KIND_NODE = 0,
    DB_BROWSE_CHANGE_KIND_CHANNEL = 1,
    DB_BROWSE_CHANGE_KIND_LABEL = 2,
    DB_BROWSE_CHANGE_KIND_SESSION = 3,
};
enum : int {
    DB_BROWSE_CHANGE_ADDED = 0,
    DB_BROWSE_CHANGE_MODIFIED = 1,
    DB_BROWSE_CHANGE_REMOVED = 2,
};

struct db_browse_change {
    uint32_t kind;
    void* object;  // a db_browse_node, db_browse_channel, db_browse_label or session
};

// Called for every object added, modified or removed; the object is valid
// only until control returns to the runtime (a removed one until the
// callback returns).
using db_browse_node_callback = void (*)(db_browse* browse, const db_browse_change* change,
                                         int change_type);
// Called at most once per processing pass of a sub-browser that changed the tree.
using db_browse_tree_changed_callback = void (*)(db_browse* browse);

// INVALIDPARAMETER for a mask without a bit in its low byte; NOMEMORY.
aud_error db_browse_new(aud_env* env, uint32_t types, db_browse** out);
// Accepts none. Stop the browse first.
void db_browse_delete(db_browse* browse);

// How many DNS-SD operations ad-hoc browsing may have open at once (browse
// operations and resolves together); refused while running.
aud_error db_browse_set_socket_limit(db_browse* browse, uint32_t limit);
aud_error db_browse_set_node_callback(db_browse* browse, db_browse_node_callback callback);
aud_error db_browse_set_tree_changed_callback(db_browse* browse,
                                              db_browse_tree_changed_callback callback);
aud_error db_browse_set_context(db_browse* browse, void* context);
void* db_browse_get_context(const db_browse* browse);
// 8 bytes, or none for every manufacturer.
aud_error db_browse_set_manufacturer_filter(db_browse* browse, const uint8_t* manufacturer_id);

// INVALIDSTATE when running. Null takes the defaults.
aud_error db_browse_start_config(db_browse* browse, const db_browse_config* config);
void db_browse_stop(db_browse* browse);

// Rebuilds the sub-browsers for the domain (used at creation, at start and on
// domain changes).
aud_error db_browse_configure_domain(db_browse* browse, const avn_domain_uuid* id, uint32_t mode,
                                     uint32_t enable);

// ---- Inspection ----

bool db_browse_is_running(const db_browse* browse);
// The stored socket limit (0 while never set).
uint32_t db_browse_get_socket_limit(const db_browse* browse);
// Which sub-browsers exist, as DB_BROWSE_MODE_* bits.
uint32_t db_browse_get_sub_browsers(const db_browse* browse);
// The devices of the tree in name order.
size_t db_browse_get_node_count(const db_browse* browse);
db_browse_node* db_browse_get_node_at(const db_browse* browse, size_t index);

// ---- Node accessors ----

const char* db_browse_node_get_name(const db_browse_node* node);
// Empty when no service is left.
const char* db_browse_node_get_host_name(const db_browse_node* node);
// The union of the services seen on every network.
uint32_t db_browse_node_get_flags(const db_browse_node* node);
// The services seen on network 0 or 1, or (slot 2) outside the networks.
uint32_t db_browse_node_get_network_flags(const db_browse_node* node, uint32_t slot);
// The conmon instance id with 0x04, else the via one with 0x20, else none.
const db_instance_id* db_browse_node_get_instance_id(const db_browse_node* node);
// The conmon id with 0x04 when not all zero, else the media one with 0x01
// when not all zero, else none.
const uint8_t* db_browse_node_get_manufacturer_id(const db_browse_node* node);
const uint8_t* db_browse_node_get_model_id(const db_browse_node* node);
// The port of the conmon service (0 without it).
uint16_t db_browse_node_get_conmon_port(const db_browse_node* node);
size_t db_browse_node_get_channel_count(const db_browse_node* node);
db_browse_channel* db_browse_node_get_channel_at(const db_browse_node* node, size_t index);

// A conmon device as discovery reports it: the host name and both ids, the
// 8-byte ids also read as big-endian numbers.
struct db_browse_device_ids {
    const char* host_name;
    const uint8_t* manufacturer_id;  // DB_ID_SIZE bytes
    uint64_t manufacturer;
    uint64_t model;
};
// Whether a node change names a conmon device that has a manufacturer id, a
// model id and a host (an SRV target of the root names none); fills `out`
// when it does.
bool db_browse_change_get_device(const db_browse_change* change, db_browse_device_ids* out);

db_browse_node* db_browse_channel_get_node(const db_browse_channel* channel);
uint16_t db_browse_channel_get_id(const db_browse_channel* channel);
const char* db_browse_channel_get_default_name(const db_browse_channel* channel);
size_t db_browse_channel_get_label_count(const db_browse_channel* channel);
const char* db_browse_channel_get_label_at(const db_browse_channel* channel, size_t index);
