#include "avn/runtime/avnapi_runtime.h"

#include <new>

#include "avn/runtime/aud_event_loop.h"

struct avnapi_runtime {
    aud_env* env;
    aud_event_loop* event_loop;
    bool processing;
};

aud_error avnapi_runtime_new(aud_env* env, avnapi_runtime** out) {
    if (env == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* runtime = new (std::nothrow) avnapi_runtime{env, aud_env_get_event_loop(env), false};
    if (runtime == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    *out = runtime;
    return AUD_SUCCESS;
}

void avnapi_runtime_delete(avnapi_runtime* runtime) {
    delete runtime;
}

aud_env* avnapi_runtime_get_env(const avnapi_runtime* runtime) {
    return runtime != nullptr ? runtime->env : nullptr;
}

aud_error avnapi_runtime_get_fdsets(avnapi_runtime* runtime, aud_fdsets* sets, aud_time* timeout) {
    if (runtime == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (runtime->event_loop == nullptr) {
        return AUD_ERR_INVALIDSTATE;
    }
    if (sets != nullptr) {
        const aud_error error = aud_event_loop_get_fdsets(runtime->event_loop, sets);
        if (error != AUD_SUCCESS) {
            return error;
        }
    }
    if (timeout != nullptr) {
        *timeout = aud_event_loop_get_timeout(runtime->event_loop);
    }
    return AUD_SUCCESS;
}

aud_error avnapi_runtime_process(avnapi_runtime* runtime, aud_fdsets* sets) {
    if (runtime == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (runtime->processing || runtime->event_loop == nullptr) {
        return AUD_ERR_INVALIDSTATE;
    }
    runtime->processing = true;
    aud_error error = AUD_SUCCESS;
    if (sets != nullptr) {
        error = aud_event_loop_dispatch(runtime->event_loop, sets);
    }
    if (error == AUD_SUCCESS) {
        error = aud_event_loop_step(runtime->event_loop);
    }
    runtime->processing = false;
    return error;
}
