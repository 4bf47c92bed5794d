#include "avn/api/avnapi.h"

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "avn/api/domain_relay.h"
#include "avn/domain/domain_handler.h"
#include "avn/runtime/domain_provider.h"

struct avnapi {
    avnapi_header header;  // the instance's own environment, first
    aud_env* global_env = nullptr;
    domain_provider* provider = nullptr;
    avnapi_runtime* runtime = nullptr;
    avn_domain_handler* handler = nullptr;
};

static_assert(std::is_standard_layout_v<avnapi> && offsetof(avnapi, header) == 0,
              "components read the environment through the header at the start of the instance");

namespace {

// What the ADHOC domain looks like to components: flags 5, every access bit
// a domain can carry.
constexpr uint32_t kAdhocAccessWord = 0x1FFFFFFF;
constexpr uint32_t kFlagsMask = 0xF;
// Without a domain handler there is no managed domain: ADHOC, with the
// flags and access words of an instance that has none.
constexpr uint32_t kNoHandlerFlags = 3;
constexpr uint32_t kNoHandlerAccessWord = 5;

avnapi* instance_of(void* context) {
    return static_cast<avnapi*>(context);
}

int provider_mode(void*) {
    return DOMAIN_PROVIDER_MODE_DOMAIN_AWARE;
}

domain_current provider_current_domain(void* context) {
    const avn_domain_handler* handler = instance_of(context)->handler;
    domain_current current{};
    if (handler == nullptr) {
        current.uuid = avn_domain_uuid_adhoc();
        current.flags = kNoHandlerFlags;
        current.access = kNoHandlerAccessWord;
        return current;
    }
    current.uuid = avn_domain_handler_get_current_uuid(handler);
    if (avn_domain_uuid_is_adhoc(&current.uuid)) {
        current.flags = AVN_DOMAIN_ADHOC_FLAGS;
        current.access = kAdhocAccessWord;
    } else {
        current.flags = avn_domain_handler_get_current_flags(handler) & kFlagsMask;
        current.access = avn_domain_handler_get_current_access(handler);
    }
    return current;
}

int provider_connection_state(void* context) {
    const avn_domain_handler* handler = instance_of(context)->handler;
    return handler != nullptr && avn_domain_handler_get_state(handler) == AVN_DOMAIN_STATE_CONNECTED
               ? DOMAIN_CONNECTION_CONNECTED
               : DOMAIN_CONNECTION_DISCONNECTED;
}

// Index 0 is this computer's end of the Domain Manager connection, any
// other the Domain Manager's.
aud_error provider_endpoint(void* context, int index, aud_socket_address* out) {
    avn_domain_handler* handler = instance_of(context)->handler;
    if (handler == nullptr) {
        return AUD_ERR_NOTCONN;
    }
    return avn_domain_handler_get_dm_endpoint(handler, index != 0, out);
}

aud_error provider_relay_send(void* context, const uint8_t* data, size_t length) {
    avn_domain_handler* handler = instance_of(context)->handler;
    if (handler == nullptr || provider_connection_state(context) != DOMAIN_CONNECTION_CONNECTED) {
        return AUD_ERR_INVALIDSTATE;
    }
    return avn_domain_handler_send(handler, data, length);
}

constexpr domain_provider_ops kProviderOps = {
    provider_mode, provider_current_domain, provider_connection_state, provider_endpoint,
    provider_relay_send,
};

void on_current_domain_changed(avnapi* owner) {
    domain_provider_notify_domain_changed(owner->provider);
}

void on_connection_changed(avnapi* owner) {
    domain_provider_notify_connection_changed(owner->provider);
}

// A message over the Domain Manager connection goes to the listener it names.
void on_relayed_message(avnapi* owner, const uint8_t* data, size_t length) {
    domain_relay_receive(owner->provider, data, length);
}

constexpr avn_domain_handler_notifications kHandlerNotifications = {
    on_relayed_message, on_current_domain_changed, on_connection_changed,
};

aud_error build(avnapi* instance) {
    aud_error result = aud_env_acquire(&instance->global_env);
    if (result == AUD_SUCCESS) {
        result = aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &instance->header.env);
    }
    if (result == AUD_SUCCESS) {
        result = domain_provider_new(instance->header.env, &kProviderOps, instance, &instance->provider);
    }
    if (result == AUD_SUCCESS) {
        result = avnapi_runtime_new(instance->header.env, &instance->runtime);
    }
    if (result == AUD_SUCCESS) {
        result = avn_domain_handler_new(instance->header.env, instance, &kHandlerNotifications, nullptr,
                                        &instance->handler);
    }
    return result;
}

}  // namespace

aud_error avnapi_new(avnapi** out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* instance = new (std::nothrow) avnapi;
    if (instance == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    const aud_error result = build(instance);
    if (result != AUD_SUCCESS) {
        avnapi_delete(instance);
        return result;
    }
    *out = instance;
    return AUD_SUCCESS;
}

void avnapi_delete(avnapi* instance) {
    if (instance == nullptr) {
        return;
    }
    // Each pointer is cleared as its object goes, so that nothing freed is
    // reached through the instance (the provider asks for the handler).
    avn_domain_handler_delete(std::exchange(instance->handler, nullptr));
    avnapi_runtime_delete(std::exchange(instance->runtime, nullptr));
    domain_provider_delete(std::exchange(instance->provider, nullptr));
    aud_env_delete(std::exchange(instance->header.env, nullptr));
    if (aud_env* global = std::exchange(instance->global_env, nullptr)) {
        aud_env_release(global);
    }
    delete instance;
}

avn_domain_handler* avnapi_get_domain_handler(const avnapi* instance) {
    return instance != nullptr ? instance->handler : nullptr;
}

avnapi_runtime* avnapi_get_runtime(const avnapi* instance) {
    return instance != nullptr ? instance->runtime : nullptr;
}

domain_provider* avnapi_get_domain_provider(const avnapi* instance) {
    return instance != nullptr ? instance->provider : nullptr;
}
