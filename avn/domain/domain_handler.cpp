#include "avn/domain/domain_handler.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "avn/domain/domain_handler_internal.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"

namespace {

int public_state(int internal, bool login_pending) {
    switch (internal) {
        case AVN_DOMAIN_HANDLER_STATE_NONE: return AVN_DOMAIN_STATE_NONE;
        case AVN_DOMAIN_HANDLER_STATE_DISCOVERING: return AVN_DOMAIN_STATE_DISCOVERING;
        case AVN_DOMAIN_HANDLER_STATE_DISCOVERED: return AVN_DOMAIN_STATE_DISCOVERED;
        case AVN_DOMAIN_HANDLER_STATE_IDENTIFYING:
            return login_pending ? AVN_DOMAIN_STATE_CONNECTING : AVN_DOMAIN_STATE_IDENTIFYING;
        case AVN_DOMAIN_HANDLER_STATE_IDENTIFIED:
            return login_pending ? AVN_DOMAIN_STATE_CONNECTING : AVN_DOMAIN_STATE_IDENTIFIED;
        case AVN_DOMAIN_HANDLER_STATE_LOGGING_IN:
        case AVN_DOMAIN_HANDLER_STATE_TLS_OPENING:
        case AVN_DOMAIN_HANDLER_STATE_WAITING_FOR_LIST:
            return AVN_DOMAIN_STATE_CONNECTING;
        case AVN_DOMAIN_HANDLER_STATE_CONNECTED: return AVN_DOMAIN_STATE_CONNECTED;
        default: return AVN_DOMAIN_STATE_UNKNOWN;
    }
}

int public_state(const avn_domain_handler* handler) {
    return public_state(handler->state, handler->login_pending);
}

void notify_current_domain_changed(avn_domain_handler* handler) {
    if (handler->notify.on_current_domain_changed != nullptr) {
        handler->notify.on_current_domain_changed(handler->owner);
    }
}

void deliver_pending_event(avn_domain_handler* handler) {
    if (handler->in_call || handler->pending.flags == 0) {
        return;
    }
    const avn_domain_handler_event event = handler->pending;
    handler->pending.flags = 0;
    handler->pending.error = AUD_SUCCESS;
    if (handler->event_callback != nullptr) {
        handler->event_callback(&event);
    }
}

// Makes `entry` (all zero when nothing was found) the current domain.
void select_current(avn_domain_handler* handler, const avn_domain_entry* entry) {
    const avn_domain_entry chosen = entry != nullptr ? *entry : avn_domain_entry{};
    if (avn_domain_uuid_compare(&chosen.info.uuid, &handler->current.info.uuid) != 0) {
        handler->current = chosen;
        handler->pending.flags |= AVN_DOMAIN_EVENT_CURRENT_DOMAIN;
        notify_current_domain_changed(handler);
    } else if (chosen.info.role != handler->current.info.role) {
        notify_current_domain_changed(handler);
    }
}

void select_fallback_domain(avn_domain_handler* handler) {
    select_current(handler, handler->list.find_by_id(handler->include_adhoc ? AVN_DOMAIN_ID_ADHOC : 0));
}

// The list as it stands with no managed domain: the ADHOC entry alone.
bool reset_list(avn_domain_handler* handler) {
    const avn_domain_entry adhoc = avn_domain_adhoc_entry();
    return handler->list.replace(handler->include_adhoc ? std::span<const avn_domain_entry>(&adhoc, 1)
                                                        : std::span<const avn_domain_entry>());
}

void keepalive_fired(aud_error /*cause*/, aud_timer* timer);

void start_keepalive(avn_domain_handler* handler) {
    if (handler->keepalive_timer == nullptr) {
        return;
    }
    const aud_time interval{static_cast<int32_t>(handler->keepalive_seconds), 0};
    aud_timer_start_once(handler->keepalive_timer, nullptr, &interval);
}

void stop_keepalive(avn_domain_handler* handler) {
    if (handler->keepalive_timer != nullptr) {
        aud_timer_stop(handler->keepalive_timer);
    }
}

void keepalive_fired(aud_error /*cause*/, aud_timer* timer) {
    auto* handler = static_cast<avn_domain_handler*>(aud_timer_get_context(timer));
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_CONNECTED) {
        return;
    }
    if (handler->send_keepalive != nullptr) {
        handler->send_keepalive(handler, handler->send_keepalive_context);
    }
    start_keepalive(handler);
}

void change_state(avn_domain_handler* handler, int new_state) {
    const int old_state = handler->state;
    if (old_state == new_state) {
        return;
    }
    const int old_public = public_state(handler);
    if (old_state == AVN_DOMAIN_HANDLER_STATE_CONNECTED) {
        if (reset_list(handler)) {
            handler->pending.flags |= AVN_DOMAIN_EVENT_DOMAIN_LIST;
        }
        if (handler->default_to_adhoc) {
            select_current(handler, handler->list.find_by_id(AVN_DOMAIN_ID_ADHOC));
        } else {
            select_current(handler, nullptr);
        }
        stop_keepalive(handler);
    }
    handler->state = new_state;
    if (new_state == AVN_DOMAIN_HANDLER_STATE_CONNECTED) {
        start_keepalive(handler);
    }
    dm_connection_on_state_change(handler, old_state, new_state);
    const int new_public = public_state(handler);
    if ((old_public == AVN_DOMAIN_STATE_CONNECTED) != (new_public == AVN_DOMAIN_STATE_CONNECTED) &&
        handler->notify.on_connection_changed != nullptr) {
        handler->notify.on_connection_changed(handler->owner);
    }
    if (old_public != new_public) {
        handler->pending.flags |= AVN_DOMAIN_EVENT_STATE;
    }
}

// Takes the role, flags and access of the current domain's new entry, or
// falls back when the domain is no longer listed.
void refresh_current(avn_domain_handler* handler) {
    const avn_domain_entry* entry = handler->list.find_by_uuid(handler->current.info.uuid);
    if (entry == nullptr) {
        select_fallback_domain(handler);
        return;
    }
    const bool role_or_flags_changed =
        entry->info.role != handler->current.info.role || entry->flags != handler->current.flags;
    handler->current.info.role = entry->info.role;
    handler->current.flags = entry->flags;
    if (entry->access != handler->current.access) {
        handler->current.access = entry->access;
        notify_current_domain_changed(handler);
    } else if (role_or_flags_changed) {
        notify_current_domain_changed(handler);
    }
}

avn_domain_info info_or_zero(const avn_domain_entry* entry) {
    return entry != nullptr ? entry->info : avn_domain_info{};
}

avn_domain_entry entry_or_zero(const avn_domain_entry* entry) {
    return entry != nullptr ? *entry : avn_domain_entry{};
}

}  // namespace

void domain_handler_change_state(avn_domain_handler* handler, int new_state) {
    change_state(handler, new_state);
}

void domain_handler_deliver_pending_event(avn_domain_handler* handler) {
    deliver_pending_event(handler);
}

void domain_handler_restart_keepalive(avn_domain_handler* handler) {
    if (handler->state == AVN_DOMAIN_HANDLER_STATE_CONNECTED) {
        start_keepalive(handler);
    }
}

aud_error avn_domain_handler_new(aud_env* env, avnapi* owner,
                                 const avn_domain_handler_notifications* notifications,
                                 const unsigned* keepalive_seconds, avn_domain_handler** out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* handler = new (std::nothrow) avn_domain_handler;
    if (handler == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    handler->env = env;
    handler->owner = owner;
    handler->pending.handler = handler;
    if (notifications != nullptr) {
        handler->notify = *notifications;
    }
    if (keepalive_seconds != nullptr) {
        handler->keepalive_seconds = *keepalive_seconds;
    }
    aud_event_loop* loop = env != nullptr ? aud_env_get_event_loop(env) : nullptr;
    if (loop == nullptr ||
        aud_timer_new(loop, keepalive_fired, handler, &handler->keepalive_timer) != AUD_SUCCESS) {
        std::fprintf(stderr, "%s: Failed to allocate keepalive timer\n", "avn_domain_handler_new");
        handler->keepalive_timer = nullptr;
    }
    reset_list(handler);
    handler->current = avn_domain_adhoc_entry();
    const aud_error result = dm_connection_create(handler);
    if (result != AUD_SUCCESS) {
        avn_domain_handler_delete(handler);
        return result;
    }
    *out = handler;
    return AUD_SUCCESS;
}

void avn_domain_handler_delete(avn_domain_handler* handler) {
    if (handler == nullptr) {
        return;
    }
    dm_connection_destroy(handler);
    if (handler->keepalive_timer != nullptr) {
        aud_timer_delete(handler->keepalive_timer);
    }
    delete handler;
}

void avn_domain_handler_set_event_callback(avn_domain_handler* handler,
                                           avn_domain_handler_event_callback callback) {
    handler->event_callback = callback;
}

avn_domain_handler* avn_domain_handler_event_get_handler(const avn_domain_handler_event* event) {
    return event->handler;
}

uint32_t avn_domain_handler_event_get_flags(const avn_domain_handler_event* event) {
    return event->flags;
}

aud_error avn_domain_handler_event_get_error(const avn_domain_handler_event* event) {
    return event->error;
}

int avn_domain_handler_get_state(const avn_domain_handler* handler) {
    return public_state(handler);
}

int avn_domain_handler_get_internal_state(const avn_domain_handler* handler) {
    return handler->state;
}

size_t avn_domain_handler_get_domain_count(const avn_domain_handler* handler) {
    return handler->list.count();
}

avn_domain_info avn_domain_handler_get_domain_at(const avn_domain_handler* handler, size_t index) {
    return info_or_zero(handler->list.at(index));
}

avn_domain_entry avn_domain_handler_get_domain_by_id(const avn_domain_handler* handler, uint16_t id) {
    return entry_or_zero(handler->list.find_by_id(id));
}

avn_domain_info avn_domain_handler_get_domain_by_name(const avn_domain_handler* handler,
                                                      const char* name) {
    return name != nullptr ? info_or_zero(handler->list.find_by_name(name)) : avn_domain_info{};
}

avn_domain_entry avn_domain_handler_get_domain_by_uuid(const avn_domain_handler* handler,
                                                       const avn_domain_uuid* uuid) {
    return uuid != nullptr ? entry_or_zero(handler->list.find_by_uuid(*uuid)) : avn_domain_entry{};
}

avn_domain_info avn_domain_handler_get_current_domain(const avn_domain_handler* handler) {
    return info_or_zero(handler->list.find_by_uuid(handler->current.info.uuid));
}

uint32_t avn_domain_handler_get_current_flags(const avn_domain_handler* handler) {
    return handler != nullptr ? handler->current.flags : 0;
}

uint32_t avn_domain_handler_get_current_access(const avn_domain_handler* handler) {
    return handler != nullptr ? handler->current.access : 0;
}

avn_domain_uuid avn_domain_handler_get_current_uuid(const avn_domain_handler* handler) {
    return handler->current.info.uuid;
}

aud_error avn_domain_handler_set_current_domain(avn_domain_handler* handler,
                                                const avn_domain_uuid* uuid) {
    ApiCall call(handler);
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_CONNECTED) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (uuid == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const avn_domain_entry* entry = handler->list.find_by_uuid(*uuid);
    if (entry == nullptr && !avn_domain_uuid_is_none(uuid)) {
        return AUD_ERR_NOTFOUND;
    }
    select_current(handler, entry);
    return AUD_SUCCESS;
}

aud_error avn_domain_handler_set_current_domain_by_id(avn_domain_handler* handler, uint16_t id) {
    ApiCall call(handler);
    if (handler->state != AVN_DOMAIN_HANDLER_STATE_CONNECTED) {
        return AUD_ERR_INVALIDSTATE;
    }
    const avn_domain_entry* entry = handler->list.find_by_id(id);
    if (entry == nullptr && id != 0) {
        return AUD_ERR_NOTFOUND;
    }
    select_current(handler, entry);
    return AUD_SUCCESS;
}

void avn_domain_handler_change_state(avn_domain_handler* handler, int internal_state) {
    change_state(handler, internal_state);
    deliver_pending_event(handler);
}

void avn_domain_handler_apply_domain_list(avn_domain_handler* handler,
                                          std::span<const avn_domain_entry> entries, bool partial,
                                          uint16_t first_id, uint16_t last_id) {
    bool changed = false;
    if (partial && handler->list.count() > 0) {
        changed = handler->list.merge(entries, first_id, last_id);
    } else {
        std::vector<avn_domain_entry> full;
        full.reserve(entries.size() + 1);
        if (!partial && handler->include_adhoc) {
            full.push_back(avn_domain_adhoc_entry());
        }
        full.insert(full.end(), entries.begin(), entries.end());
        changed = handler->list.replace(full);
    }
    if (changed) {
        handler->pending.flags |= AVN_DOMAIN_EVENT_DOMAIN_LIST;
    }
    refresh_current(handler);
    deliver_pending_event(handler);
}

void avn_domain_handler_report_error(avn_domain_handler* handler, aud_error error) {
    handler->pending.flags |= AVN_DOMAIN_EVENT_ERROR;
    handler->pending.error = error;
    deliver_pending_event(handler);
}

void avn_domain_handler_set_keepalive_sender(avn_domain_handler* handler,
                                             avn_domain_handler_keepalive_fn send, void* context) {
    handler->send_keepalive = send;
    handler->send_keepalive_context = context;
}

bool avn_domain_handler_keepalive_running(const avn_domain_handler* handler) {
    return handler->keepalive_timer != nullptr && aud_timer_is_running(handler->keepalive_timer);
}
