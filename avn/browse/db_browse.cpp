#include "avn/browse/db_browse.h"

#include <cstring>
#include <new>

#include "avn/browse/db_adhoc_browse.h"
#include "avn/browse/db_browse_tree.h"
#include "avn/browse/db_domain_browse.h"
#include "avn/conmon/db_lookup.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/byte_order.h"
#include "avn/runtime/domain_provider.h"

namespace {

// The session browsers (SAP announcements; SDP from the Domain Manager) are
// never asked for by this product. They exist as far as the browse manages
// them: built per mode bit, opened or started, stopped.
struct SessionBrowser {
    bool running = false;
};

constexpr uint32_t kModeBits = 0xF;

}  // namespace

struct db_browse {
    aud_env* env = nullptr;
    bool running = false;
    avn_domain_uuid domain_id{};
    uint32_t mode = 0;
    uint32_t enable = 0;
    domain_listener* listener = nullptr;
    bool listener_active = false;
    db_browse_config config{};
    bool config_given = false;
    uint32_t types = 0;
    db_browse_tree* tree = nullptr;
    uint32_t type_count = 0;
    uint32_t socket_limit = 0;
    bool zero_port = false;
    uint32_t return_delay = 0;
    bool has_filter = false;
    uint8_t manufacturer_id[DB_ID_SIZE] = {};
    bool returned_to_adhoc = false;
    db_adhoc_browse* adhoc = nullptr;
    db_lookup_service* lookups = nullptr;  // the domain device browser's
    db_domain_browse* domain = nullptr;
    SessionBrowser* domain_sdp = nullptr;
    SessionBrowser* sap = nullptr;
    void* context = nullptr;
};

namespace {

uint32_t count_types(uint32_t types) {
    uint32_t count = 0;
    for (uint32_t bit = 0x01; bit <= 0x20; bit <<= 1) {
        count += (types & bit) != 0 ? 1 : 0;
    }
    return count;
}

void log_line(const db_browse* browse, int level, const char* format, const char* function,
              aud_error error) {
    aud_log_printf(aud_env_get_log(browse->env), level, format, function, error);
}

void delete_sub_browsers(db_browse* browse) {
    if (browse->adhoc != nullptr) {
        db_adhoc_browse_stop(browse->adhoc, false);
        db_adhoc_browse_delete(browse->adhoc);
        browse->adhoc = nullptr;
    }
    delete browse->sap;
    browse->sap = nullptr;
    db_domain_browse_delete(browse->domain, false);
    browse->domain = nullptr;
    delete browse->domain_sdp;
    browse->domain_sdp = nullptr;
}

void sockets_changed(db_browse*) {
    // No hook is set in this product; the ad-hoc browser's sockets live in
    // the environment's event loop, which the caller steps.
}

void stop_sub_browsers(db_browse* browse, bool callbacks) {
    if (browse->adhoc != nullptr) {
        db_adhoc_browse_stop(browse->adhoc, callbacks);
    }
    if (browse->sap != nullptr) {
        browse->sap->running = false;
    }
    if (browse->domain != nullptr && db_domain_browse_get_state(browse->domain) != DB_DOMAIN_BROWSE_STOPPED) {
        db_domain_browse_stop(browse->domain, callbacks);
    }
    if (browse->domain_sdp != nullptr) {
        browse->domain_sdp->running = false;
    }
}

aud_error start(db_browse* browse) {
    if (!browse->config_given) {
        db_browse_config_init(&browse->config);
        browse->config_given = true;
    }
    db_browse_tree_set_network_count(browse->tree, browse->config.network_count);
    if (browse->listener != nullptr) {
        const domain_current now =
            domain_provider_get_current(domain_listener_get_provider(browse->listener));
        const aud_error result =
            db_browse_configure_domain(browse, &now.uuid, now.flags & kModeBits, now.access & 1u);
        if (result != AUD_SUCCESS) {
            return result;
        }
    }
    aud_error adhoc_error = AUD_SUCCESS;
    if (browse->adhoc != nullptr) {
        db_adhoc_browse_set_manufacturer_filter(
            browse->adhoc, browse->has_filter ? browse->manufacturer_id : nullptr);
        if (browse->socket_limit != 0) {
            const aud_error result =
                db_adhoc_browse_set_socket_limit(browse->adhoc, browse->socket_limit);
            if (result != AUD_SUCCESS) {
                return result;
            }
        }
        adhoc_error = db_adhoc_browse_start_config(
            browse->adhoc, &browse->config, browse->returned_to_adhoc ? browse->return_delay : 0);
        if (adhoc_error == AUD_SUCCESS) {
            browse->returned_to_adhoc = false;
        }
    }
    if (browse->sap != nullptr) {
        browse->sap->running = true;
    }
    if (browse->domain != nullptr) {
        db_domain_browse_set_manufacturer_filter(browse->domain,
                                                 browse->has_filter ? browse->manufacturer_id : nullptr);
        const aud_error result = db_domain_browse_start(browse->domain, &browse->config);
        if (result != AUD_SUCCESS) {
            return result;
        }
        adhoc_error = AUD_SUCCESS;
    }
    if (browse->domain_sdp != nullptr) {
        browse->domain_sdp->running = true;
    } else if (adhoc_error != AUD_SUCCESS) {
        return adhoc_error;
    }
    browse->running = true;
    browse->listener_active = true;
    return AUD_SUCCESS;
}

void reconfigure(db_browse* browse, const avn_domain_uuid& id, uint32_t mode, uint32_t enable) {
    if (avn_domain_uuid_compare(&id, &browse->domain_id) != 0 && avn_domain_uuid_is_adhoc(&id)) {
        browse->returned_to_adhoc = true;
    }
    stop_sub_browsers(browse, true);
    browse->running = false;
    if (browse->lookups != nullptr) {
        db_lookup_cancel_all(browse->lookups);
    }
    if (db_browse_configure_domain(browse, &id, mode, enable) == AUD_SUCCESS) {
        start(browse);
    }
}

void on_domain_event(domain_listener* listener, int event, void* context) {
    auto* browse = static_cast<db_browse*>(context);
    if (!browse->listener_active) {
        return;
    }
    if (event == DOMAIN_EVENT_CONNECTION) {
        // The domain device browser asks again, or stops asking.
        db_domain_browse_connection_changed(browse->domain);
        return;
    }
    if (event != DOMAIN_EVENT_CHANGED && event != DOMAIN_EVENT_FLAGS &&
        event != DOMAIN_EVENT_ACCESS) {
        return;
    }
    const domain_current current = domain_listener_get_current(listener);
    const uint32_t mode = current.flags & kModeBits;
    const uint32_t enable = current.access & 1u;
    // Reconfigure on any change of what decides the sub-browsers; nothing
    // else is worth tearing the browse down for.
    if (avn_domain_uuid_compare(&current.uuid, &browse->domain_id) == 0 && mode == browse->mode &&
        enable == browse->enable) {
        return;
    }
    reconfigure(browse, current.uuid, mode, enable);
}

// Relayed packets for the browse's listener belong to its lookup service.
void on_relayed(domain_listener*, const uint8_t* data, size_t length, void* context) {
    auto* browse = static_cast<db_browse*>(context);
    if (browse->lookups != nullptr) {
        db_lookup_service_receive(browse->lookups, {data, length});
    }
}

}  // namespace

void db_browse_config_init(db_browse_config* config) {
    if (config == nullptr) {
        return;
    }
    *config = db_browse_config{};
    config->network_count = 1;
    config->network_mask = 0xFFFFFFFFu;
    config->loopback = 1;
    config->resolve_timeout_seconds = 30;
}

aud_error db_browse_new(aud_env* env, uint32_t types, db_browse** out) {
    if (out == nullptr || (types & 0xFFu) == 0) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* browse = new (std::nothrow) db_browse;
    if (browse == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    browse->env = env;
    browse->types = types;
    browse->type_count = count_types(types);
    if (db_browse_tree_new(browse, types, &browse->tree) != AUD_SUCCESS) {
        delete browse;
        return AUD_ERR_NOMEMORY;
    }
    domain_provider* provider = domain_provider_from_env(env);
    if (provider != nullptr) {
        aud_error result =
            domain_listener_new(provider, on_domain_event, on_relayed, browse, &browse->listener);
        if (result == AUD_SUCCESS) {
            result = db_lookup_service_new(browse, browse->listener, &browse->lookups);
        }
        if (result != AUD_SUCCESS) {
            db_browse_delete(browse);
            return result;
        }
        *out = browse;
        return AUD_SUCCESS;
    }
    const avn_domain_uuid adhoc = avn_domain_uuid_adhoc();
    const aud_error result =
        db_browse_configure_domain(browse, &adhoc, DB_BROWSE_MODE_ADHOC | DB_BROWSE_MODE_SAP, 1);
    if (result != AUD_SUCCESS) {
        db_browse_delete(browse);
        return result;
    }
    *out = browse;
    return AUD_SUCCESS;
}

void db_browse_delete(db_browse* browse) {
    if (browse == nullptr) {
        return;
    }
    delete_sub_browsers(browse);
    db_lookup_service_delete(browse->lookups);
    db_browse_tree_delete(browse->tree);
    if (browse->listener != nullptr) {
        domain_listener_delete(browse->listener);
    }
    delete browse;
}

aud_error db_browse_set_socket_limit(db_browse* browse, uint32_t limit) {
    if (browse == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (browse->running) {
        return AUD_ERR_INVALIDSTATE;
    }
    if ((browse->types & DB_BROWSE_TYPES_SESSION) != 0) {
        // One socket is kept for SAP.
        if (limit == 0 || limit - 1 <= browse->type_count) {
            return AUD_ERR_INVALIDPARAMETER;
        }
        browse->socket_limit = limit - 1;
        return AUD_SUCCESS;
    }
    if (limit <= browse->type_count) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    browse->socket_limit = limit;
    return AUD_SUCCESS;
}

aud_error db_browse_set_node_callback(db_browse* browse, db_browse_node_callback callback) {
    if (browse == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    db_browse_tree_set_node_callback(browse->tree, callback);
    return AUD_SUCCESS;
}

aud_error db_browse_set_tree_changed_callback(db_browse* browse,
                                              db_browse_tree_changed_callback callback) {
    if (browse == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    db_browse_tree_set_tree_changed_callback(browse->tree, callback);
    return AUD_SUCCESS;
}

aud_error db_browse_set_context(db_browse* browse, void* context) {
    if (browse == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    browse->context = context;
    return AUD_SUCCESS;
}

void* db_browse_get_context(const db_browse* browse) {
    return browse != nullptr ? browse->context : nullptr;
}

aud_error db_browse_set_manufacturer_filter(db_browse* browse, const uint8_t* manufacturer_id) {
    if (browse == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    browse->has_filter = manufacturer_id != nullptr;
    if (manufacturer_id != nullptr) {
        std::memcpy(browse->manufacturer_id, manufacturer_id, DB_ID_SIZE);
    }
    if (browse->adhoc != nullptr) {
        db_adhoc_browse_set_manufacturer_filter(browse->adhoc, manufacturer_id);
    }
    if (browse->domain != nullptr) {
        db_domain_browse_set_manufacturer_filter(browse->domain, manufacturer_id);
    }
    return AUD_SUCCESS;
}

aud_error db_browse_start_config(db_browse* browse, const db_browse_config* config) {
    if (browse == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (browse->running) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (config != nullptr) {
        if (config->network_count < 1 || config->network_count > DB_BROWSE_MAX_NETWORKS) {
            return AUD_ERR_INVALIDPARAMETER;
        }
        browse->config = *config;
        browse->config_given = true;
    }
    return start(browse);
}

void db_browse_stop(db_browse* browse) {
    if (browse == nullptr) {
        return;
    }
    db_browse_tree_clear(browse->tree, false);
    browse->listener_active = false;
    browse->returned_to_adhoc = false;
    if (browse->running) {
        stop_sub_browsers(browse, false);
        browse->running = false;
    }
}

aud_error db_browse_configure_domain(db_browse* browse, const avn_domain_uuid* id, uint32_t mode,
                                     uint32_t enable) {
    if (browse == nullptr || id == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    browse->domain_id = *id;
    browse->mode = mode;
    browse->enable = enable;
    db_browse_tree_clear(browse->tree, false);
    delete_sub_browsers(browse);
    if ((enable & 1u) == 0) {
        return AUD_SUCCESS;
    }
    aud_error result = AUD_SUCCESS;
    if ((mode & DB_BROWSE_MODE_ADHOC) != 0 && (browse->types & DB_BROWSE_TYPES_DEVICE) != 0) {
        result = db_adhoc_browse_new(browse->env, browse->types, browse->tree, &browse->adhoc);
        if (result != AUD_SUCCESS) {
            log_line(browse, AUD_LOG_LEVEL_WARNING, "%s: Error constructing Adhoc browsing : %d\n",
                     "db_browse_configure_domain", result);
            goto failed;
        }
        db_adhoc_browse_set_owner(browse->adhoc, browse, sockets_changed, browse->zero_port);
    }
    if ((mode & DB_BROWSE_MODE_SAP) != 0 && (browse->types & DB_BROWSE_TYPES_SESSION) != 0) {
        browse->sap = new (std::nothrow) SessionBrowser;
        if (browse->sap == nullptr) {
            log_line(browse, AUD_LOG_LEVEL_WARNING, "%s: Error constructing SAP browsing : %d\n",
                     "db_browse_configure_domain", AUD_ERR_NOMEMORY);
            return result;
        }
    }
    if ((mode & DB_BROWSE_MODE_DOMAIN) != 0 && (browse->types & DB_BROWSE_TYPES_DEVICE) != 0) {
        result = browse->lookups != nullptr
                     ? db_domain_browse_new(browse->env, browse->types, browse->tree, browse->lookups,
                                            browse->listener, &browse->domain)
                     : AUD_ERR_NOTINITIALISED;
        if (result != AUD_SUCCESS) {
            goto failed;
        }
    }
    if ((mode & DB_BROWSE_MODE_DOMAIN_SDP) != 0 && (browse->types & DB_BROWSE_TYPE_SDP) != 0) {
        browse->domain_sdp = new (std::nothrow) SessionBrowser;
        if (browse->domain_sdp == nullptr) {
            result = AUD_ERR_NOMEMORY;
            goto failed;
        }
    }
    return AUD_SUCCESS;

failed:
    delete_sub_browsers(browse);
    browse->domain_id = avn_domain_uuid_none();
    return result;
}

bool db_browse_is_running(const db_browse* browse) {
    return browse != nullptr && browse->running;
}

uint32_t db_browse_get_socket_limit(const db_browse* browse) {
    return browse != nullptr ? browse->socket_limit : 0;
}

uint32_t db_browse_get_sub_browsers(const db_browse* browse) {
    if (browse == nullptr) {
        return 0;
    }
    return (browse->adhoc != nullptr ? DB_BROWSE_MODE_ADHOC : 0u) |
           (browse->sap != nullptr ? DB_BROWSE_MODE_SAP : 0u) |
           (browse->domain != nullptr ? DB_BROWSE_MODE_DOMAIN : 0u) |
           (browse->domain_sdp != nullptr ? DB_BROWSE_MODE_DOMAIN_SDP : 0u);
}

size_t db_browse_get_node_count(const db_browse* browse) {
    return browse != nullptr ? db_browse_tree_get_node_count(browse->tree) : 0;
}

db_browse_node* db_browse_get_node_at(const db_browse* browse, size_t index) {
    return browse != nullptr ? db_browse_tree_get_node_at(browse->tree, index) : nullptr;
}

bool db_browse_change_get_device(const db_browse_change* change, db_browse_device_ids* out) {
    if (change == nullptr || out == nullptr || change->kind != DB_BROWSE_CHANGE_KIND_NODE) {
        return false;
    }
    const auto* node = static_cast<const db_browse_node*>(change->object);
    if ((db_browse_node_get_flags(node) & DB_BROWSE_TYPE_CONMON_DEVICE) == 0) {
        return false;
    }
    const uint8_t* manufacturer = db_browse_node_get_manufacturer_id(node);
    const uint8_t* model = db_browse_node_get_model_id(node);
    const char* host = db_browse_node_get_host_name(node);
    if (manufacturer == nullptr || model == nullptr || host == nullptr || host[0] == '\0') {
        return false;
    }
    out->host_name = host;
    out->manufacturer_id = manufacturer;
    out->manufacturer = byte_order::load_be64(manufacturer);
    out->model = byte_order::load_be64(model);
    return true;
}
