#include "avn/runtime/domain_provider.h"

#include <algorithm>
#include <list>
#include <new>

struct domain_listener {
    domain_provider* provider = nullptr;
    uint16_t id = 0;
    domain_listener_callback callback = nullptr;
    domain_listener_receiver receiver = nullptr;
    void* context = nullptr;
    domain_current view{};
    int connection_state = DOMAIN_CONNECTION_DISCONNECTED;
    bool removed = false;
};

struct domain_provider {
    aud_env* env = nullptr;
    domain_provider_ops ops{};
    void* context = nullptr;
    std::list<domain_listener*> listeners;  // in order of registration
    int notifying = 0;                      // depth of notification passes
    // Shared by every listener: see domain_listener_next_sequence.
    uint16_t sequence = 0;
    uint16_t request_number = 0;
};

namespace {

constexpr uint16_t kFirstListenerId = 2;
constexpr uint16_t kLastListenerId = 0xFFFE;

domain_current adhoc_without_handler() {
    // Without an owner to ask: ADHOC, flags 3, access 5.
    return domain_current{avn_domain_uuid_adhoc(), 3, 5};
}

bool id_taken(const domain_provider* provider, uint16_t id) {
    return std::any_of(provider->listeners.begin(), provider->listeners.end(),
                       [id](const domain_listener* l) { return l->id == id && !l->removed; });
}

// Frees listeners removed while a pass was running, once no pass runs.
void settle_removed(domain_provider* provider) {
    if (provider->notifying > 0) {
        return;
    }
    provider->listeners.remove_if([](domain_listener* l) {
        if (l->removed) {
            delete l;
            return true;
        }
        return false;
    });
}

void notify(domain_listener* listener, int event) {
    if (!listener->removed && listener->callback != nullptr) {
        listener->callback(listener, event, listener->context);
    }
}

// Runs `visit` on every listener registered when the pass starts; listeners
// removed meanwhile are skipped and freed afterwards.
template <typename Visit>
void for_each_listener(domain_provider* provider, Visit visit) {
    ++provider->notifying;
    const std::list<domain_listener*> snapshot = provider->listeners;
    for (domain_listener* listener : snapshot) {
        if (!listener->removed) {
            visit(listener);
        }
    }
    --provider->notifying;
    settle_removed(provider);
}

}  // namespace

aud_error domain_provider_new(aud_env* env, const domain_provider_ops* ops, void* context,
                              domain_provider** out) {
    if (env == nullptr || ops == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* provider = new (std::nothrow) domain_provider;
    if (provider == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    provider->env = env;
    provider->ops = *ops;
    provider->context = context;
    aud_env_set_user(env, provider);
    *out = provider;
    return AUD_SUCCESS;
}

void domain_provider_delete(domain_provider* provider) {
    if (provider == nullptr) {
        return;
    }
    if (aud_env_get_user(provider->env) == provider) {
        aud_env_set_user(provider->env, nullptr);
    }
    for (domain_listener* listener : provider->listeners) {
        delete listener;
    }
    delete provider;
}

domain_provider* domain_provider_from_env(const aud_env* env) {
    return env != nullptr ? static_cast<domain_provider*>(aud_env_get_user(env)) : nullptr;
}

int domain_provider_get_mode(const domain_provider* provider) {
    if (provider == nullptr || provider->ops.mode == nullptr) {
        return DOMAIN_PROVIDER_MODE_NONE;
    }
    return provider->ops.mode(provider->context);
}

domain_current domain_provider_get_current(const domain_provider* provider) {
    if (provider == nullptr || provider->ops.current_domain == nullptr) {
        return adhoc_without_handler();
    }
    return provider->ops.current_domain(provider->context);
}

int domain_provider_get_connection_state(const domain_provider* provider) {
    if (provider == nullptr || provider->ops.connection_state == nullptr) {
        return DOMAIN_CONNECTION_DISCONNECTED;
    }
    return provider->ops.connection_state(provider->context);
}

aud_error domain_provider_get_endpoint(const domain_provider* provider, int index,
                                       aud_socket_address* out) {
    if (provider == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (provider->ops.endpoint == nullptr) {
        return AUD_ERR_NOTSUPPORTED;
    }
    return provider->ops.endpoint(provider->context, index, out);
}

aud_error domain_provider_relay_send(const domain_provider* provider, const uint8_t* data,
                                     size_t length) {
    if (provider == nullptr || data == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (provider->ops.relay_send == nullptr) {
        return AUD_ERR_NOTSUPPORTED;
    }
    return provider->ops.relay_send(provider->context, data, length);
}

aud_error domain_listener_new(domain_provider* provider, domain_listener_callback callback,
                              domain_listener_receiver receiver, void* context,
                              domain_listener** out) {
    if (provider == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    uint32_t id = kFirstListenerId;
    while (id <= kLastListenerId && id_taken(provider, static_cast<uint16_t>(id))) {
        ++id;
    }
    if (id > kLastListenerId) {
        return AUD_ERR_NOTFOUND;
    }
    auto* listener = new (std::nothrow) domain_listener;
    if (listener == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    listener->provider = provider;
    listener->id = static_cast<uint16_t>(id);
    listener->callback = callback;
    listener->receiver = receiver;
    listener->context = context;
    listener->view = domain_provider_get_current(provider);
    listener->connection_state = domain_provider_get_connection_state(provider);
    provider->listeners.push_back(listener);
    *out = listener;
    return AUD_SUCCESS;
}

void domain_listener_delete(domain_listener* listener) {
    if (listener == nullptr) {
        return;
    }
    listener->removed = true;
    settle_removed(listener->provider);
}

uint16_t domain_listener_next_sequence(domain_listener* listener) {
    domain_provider* provider = listener->provider;
    if (++provider->sequence == 0) {
        provider->sequence = 1;
    }
    return provider->sequence;
}

uint16_t domain_listener_next_request_number(domain_listener* listener) {
    return listener->provider->request_number++;
}

uint16_t domain_listener_get_id(const domain_listener* listener) {
    return listener->id;
}

domain_provider* domain_listener_get_provider(const domain_listener* listener) {
    return listener->provider;
}

domain_current domain_listener_get_current(const domain_listener* listener) {
    return listener->view;
}

void domain_provider_notify_domain_changed(domain_provider* provider) {
    const domain_current now = domain_provider_get_current(provider);
    for_each_listener(provider, [&now](domain_listener* listener) {
        if (avn_domain_uuid_compare(&listener->view.uuid, &now.uuid) != 0) {
            notify(listener, DOMAIN_EVENT_CHANGING);
            listener->view.uuid = now.uuid;
            notify(listener, DOMAIN_EVENT_CHANGED);
        }
        if (listener->view.flags != now.flags) {
            listener->view.flags = now.flags;
            notify(listener, DOMAIN_EVENT_FLAGS);
        }
        if (listener->view.access != now.access) {
            listener->view.access = now.access;
            notify(listener, DOMAIN_EVENT_ACCESS);
        }
    });
}

void domain_provider_notify_connection_changed(domain_provider* provider) {
    const int state = domain_provider_get_connection_state(provider);
    for_each_listener(provider, [state](domain_listener* listener) {
        if (listener->connection_state != state) {
            listener->connection_state = state;
            notify(listener, DOMAIN_EVENT_CONNECTION);
        }
    });
}

aud_error domain_provider_deliver(domain_provider* provider, uint16_t listener_id,
                                  const uint8_t* data, size_t length) {
    aud_error result = AUD_ERR_NOTFOUND;
    for_each_listener(provider, [&](domain_listener* listener) {
        if (result == AUD_ERR_NOTFOUND && listener->id == listener_id) {
            result = AUD_SUCCESS;
            if (listener->receiver != nullptr) {
                listener->receiver(listener, data, length, listener->context);
            }
        }
    });
    return result;
}
