#include "avn/browse/db_domain_browse.h"

#include <cstring>
#include <new>
#include <string>

#include "avn/browse/db_browse_tree.h"
#include "avn/browse/db_txt.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/domain_provider.h"

struct db_domain_browse {
    aud_env* env = nullptr;
    uint32_t types = 0;
    db_browse_config config{};
    db_lookup_service* lookups = nullptr;
    db_browse_tree* tree = nullptr;
    domain_listener* listener = nullptr;
    bool has_filter = false;
    uint8_t manufacturer_id[DB_ID_SIZE] = {};
    int state = DB_DOMAIN_BROWSE_STOPPED;
    uint32_t request_id = 0;
};

namespace {

constexpr uint32_t kNetwork = 0;
constexpr uint16_t kBrowseMode = 1;
const char* const kUpdated = "db_domain_browse_device_updated";

bool domain_ready(const db_domain_browse* browser) {
    const domain_current current = domain_listener_get_current(browser->listener);
    return !avn_domain_uuid_is_none(&current.uuid) && !avn_domain_uuid_is_adhoc(&current.uuid) &&
           domain_provider_get_connection_state(domain_listener_get_provider(browser->listener)) ==
               DOMAIN_CONNECTION_CONNECTED;
}

void log_error(const db_domain_browse* browser, const char* format, const char* name) {
    aud_log_printf(aud_env_get_log(browser->env), AUD_LOG_LEVEL_ERROR, format, kUpdated, name);
}

// The request ended (final result, refusal or cancel): what it reported goes.
void request_done(void* owner, int, uint16_t) {
    auto* browser = static_cast<db_domain_browse*>(owner);
    browser->request_id = 0;
    db_browse_tree_clear(browser->tree, true);
}

aud_error send_browse_request(db_domain_browse* browser) {
    db_lookup_request_data data;
    data.domain = domain_listener_get_current(browser->listener).uuid;
    data.flags = DB_LOOKUP_FLAG_MODE;
    data.mode = kBrowseMode;
    if (browser->has_filter) {
        data.flags |= DB_LOOKUP_FLAG_MANUFACTURER;
        std::memcpy(data.manufacturer_id, browser->manufacturer_id, DB_ID_SIZE);
    }
    const aud_error result = db_lookup_start(browser->lookups, browser,
                                             db_domain_browse_device_updated, request_done, &data);
    if (result != AUD_SUCCESS) {
        // Nothing was asked: the request is not left to linger.
        db_lookup_cancel_all(browser->lookups);
        return result;
    }
    db_browse_tree_clear(browser->tree, false);
    browser->request_id = data.request_id;
    browser->state = DB_DOMAIN_BROWSE_BROWSING;
    return AUD_SUCCESS;
}

aud_error cancel_request(db_domain_browse* browser) {
    if (browser->request_id == 0) {
        return AUD_SUCCESS;
    }
    return db_lookup_cancel(browser->lookups, browser->request_id);
}

}  // namespace

aud_error db_domain_browse_new(aud_env* env, uint32_t types, db_browse_tree* tree,
                               db_lookup_service* lookups, domain_listener* listener,
                               db_domain_browse** out) {
    if (out == nullptr || tree == nullptr || lookups == nullptr || listener == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* browser = new (std::nothrow) db_domain_browse;
    if (browser == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    browser->env = env;
    browser->types = types;
    browser->tree = tree;
    browser->lookups = lookups;
    browser->listener = listener;
    *out = browser;
    return AUD_SUCCESS;
}

void db_domain_browse_delete(db_domain_browse* browser, bool callbacks) {
    if (browser == nullptr) {
        return;
    }
    if (browser->state != DB_DOMAIN_BROWSE_STOPPED) {
        db_browse_tree_clear(browser->tree, callbacks);
        browser->state = DB_DOMAIN_BROWSE_STOPPED;
        cancel_request(browser);
    }
    delete browser;
}

aud_error db_domain_browse_set_manufacturer_filter(db_domain_browse* browser, const uint8_t* id) {
    if (browser == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (id != nullptr) {
        browser->has_filter = true;
        std::memcpy(browser->manufacturer_id, id, DB_ID_SIZE);
    }
    return AUD_SUCCESS;
}

aud_error db_domain_browse_start(db_domain_browse* browser, const db_browse_config* config) {
    if (browser == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (browser->state != DB_DOMAIN_BROWSE_STOPPED) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (config != nullptr) {
        browser->config = *config;
    }
    browser->state = DB_DOMAIN_BROWSE_WAITING;
    if (domain_ready(browser)) {
        const aud_error result = send_browse_request(browser);
        if (result != AUD_SUCCESS) {
            browser->state = DB_DOMAIN_BROWSE_STOPPED;
            return result;
        }
    }
    return AUD_SUCCESS;
}

aud_error db_domain_browse_stop(db_domain_browse* browser, bool callbacks) {
    if (browser == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (browser->state == DB_DOMAIN_BROWSE_STOPPED) {
        return AUD_ERR_INVALIDSTATE;
    }
    db_browse_tree_clear(browser->tree, callbacks);
    browser->state = DB_DOMAIN_BROWSE_STOPPED;
    return cancel_request(browser);
}

void db_domain_browse_connection_changed(db_domain_browse* browser) {
    if (browser == nullptr) {
        return;
    }
    if (browser->state == DB_DOMAIN_BROWSE_WAITING && domain_ready(browser)) {
        send_browse_request(browser);
    } else if (browser->state == DB_DOMAIN_BROWSE_BROWSING && !domain_ready(browser)) {
        cancel_request(browser);
        browser->state = DB_DOMAIN_BROWSE_WAITING;
    }
}

int db_domain_browse_get_state(const db_domain_browse* browser) {
    return browser != nullptr ? browser->state : DB_DOMAIN_BROWSE_STOPPED;
}

void db_domain_browse_device_updated(void* owner, const db_domain_device_record* record) {
    auto* browser = static_cast<db_domain_browse*>(owner);
    bool changed = false;
    if (record->has_info || record->services != 0) {
        if (record->name[0] == '\0' || record->host[0] == '\0') {
            return;
        }
        // The tree holds host names as ad-hoc browsing does: the first label
        // ("TPX2-Stage" of "TPX2-Stage.local"), which is also how the
        // device is named to the Domain Manager.
        const std::string host_label(record->host, std::strcspn(record->host, "."));
        const char* host = host_label.c_str();
        if ((browser->types & DB_BROWSE_TYPE_MEDIA_DEVICE) &&
            (record->services & DB_DOMAIN_SERVICE_MEDIA)) {
            if (record->media.txt_length == 0) {
                db_browse_tree_remove_service(browser->tree, DB_BROWSE_TYPE_MEDIA_DEVICE, kNetwork,
                                              record->name, &changed);
            } else {
                db_media_txt txt;
                if (parse_media_txt_record(record->media.txt, record->media.txt_length, &txt) !=
                    AUD_SUCCESS) {
                    log_error(browser, "%s: Error parsing txt_record for media device \"%s\"\n",
                              record->name);
                } else if (db_browse_tree_update_media_device(browser->tree, kNetwork, record->name,
                                                              host, 0, &txt,
                                                              &changed) != AUD_SUCCESS) {
                    log_error(browser, "%s: Error adding media device \"%s\" to tree\n",
                              record->name);
                }
            }
        }
        if ((browser->types & DB_BROWSE_TYPE_CONMON_DEVICE) &&
            (record->services & DB_DOMAIN_SERVICE_CONMON)) {
            if (record->conmon.txt_length == 0) {
                db_browse_tree_remove_service(browser->tree, DB_BROWSE_TYPE_CONMON_DEVICE, kNetwork,
                                              record->name, &changed);
            } else {
                db_conmon_txt txt;
                if (parse_conmon_txt_record(record->conmon.txt, record->conmon.txt_length, &txt) !=
                    AUD_SUCCESS) {
                    log_error(browser, "%s: Error parsing txt_record for conmon device \"%s\"\n",
                              record->name);
                } else if (db_browse_tree_update_conmon_device(browser->tree, kNetwork,
                                                               record->name, host, 0, &txt,
                                                               &changed) != AUD_SUCCESS) {
                    log_error(browser, "%s: Error adding conmon device \"%s\" to tree\n",
                              record->name);
                }
            }
        }
        if ((browser->types & DB_BROWSE_TYPE_VIA_DEVICE) &&
            (record->services & DB_DOMAIN_SERVICE_VIA)) {
            if (record->via.txt_length == 0) {
                db_browse_tree_remove_service(browser->tree, DB_BROWSE_TYPE_VIA_DEVICE, kNetwork,
                                              record->name, &changed);
            } else {
                db_via_txt txt;
                if (parse_via_txt_record(record->via.txt, record->via.txt_length, &txt) !=
                    DB_VIA_TXT_OK) {
                    log_error(browser, "%s: Error parsing txt_record for via device \"%s\"\n",
                              record->name);
                } else if (db_browse_tree_update_via_device(browser->tree, kNetwork, record->name,
                                                            host, record->via.port, &txt,
                                                            &changed) != AUD_SUCCESS) {
                    log_error(browser, "%s: Error adding via device \"%s\" to tree\n",
                              record->name);
                }
            }
        }
    } else {
        db_browse_tree_remove_all_services(browser->tree, kNetwork, record->name, &changed);
    }
    if (changed) {
        db_browse_tree_notify_changed(browser->tree);
    }
}
