#include "avn/runtime/aud_env.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>

#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/socket_platform.h"

struct aud_env {
    void* user = nullptr;
    aud_log* log = nullptr;
    aud_event_loop* event_loop = nullptr;
    int references = 0;
    uint32_t flags = 0;
};

namespace {

aud_env g_global;
std::mutex g_global_mutex;

void free_owned(aud_env* env) {
    if ((env->flags & AUD_ENV_FLAG_OWNS_EVENT_LOOP) != 0) {
        aud_event_loop_delete(env->event_loop);
        env->event_loop = nullptr;
    }
    if ((env->flags & AUD_ENV_FLAG_OWNS_LOG) != 0) {
        aud_log_delete(env->log);
        env->log = nullptr;
    }
}

}  // namespace

aud_error aud_env_acquire(aud_env** out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    std::lock_guard<std::mutex> lock(g_global_mutex);
    if (g_global.references == 0) {
        aud_socket_platform_startup();
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        if (aud_log_new(&g_global.log) != AUD_SUCCESS) {
            aud_socket_platform_cleanup();
            return AUD_ERR_NOMEMORY;
        }
        g_global.flags = AUD_ENV_FLAG_OWNS_LOG;
    }
    ++g_global.references;
    *out = &g_global;
    return AUD_SUCCESS;
}

aud_error aud_env_release(aud_env* env) {
    if (env == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if ((env->flags & AUD_ENV_FLAG_NOT_RELEASABLE) != 0) {
        std::fputs("Error: This env cannot be cleaned up using aud_env_release!\n", stderr);
        return AUD_SUCCESS;
    }
    if (env != &g_global) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    std::lock_guard<std::mutex> lock(g_global_mutex);
    if (g_global.references <= 0) {
        return AUD_ERR_INVALIDSTATE;  // more releases than acquisitions
    }
    if (--g_global.references > 0) {
        return AUD_SUCCESS;
    }
    free_owned(&g_global);
    g_global.flags = 0;
    return aud_socket_platform_cleanup();
}

aud_error aud_env_new(uint32_t flags, aud_env** out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* env = new (std::nothrow) aud_env{};
    if (env == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    env->flags = AUD_ENV_FLAG_ALLOCATED | AUD_ENV_FLAG_NOT_RELEASABLE;
    if ((flags & AUD_ENV_WITH_LOG) != 0) {
        if (aud_log_new(&env->log) != AUD_SUCCESS) {
            aud_env_delete(env);
            return AUD_ERR_NOMEMORY;
        }
        env->flags |= AUD_ENV_FLAG_OWNS_LOG;
    }
    if ((flags & AUD_ENV_WITH_EVENT_LOOP) != 0) {
        if (aud_event_loop_new(&env->event_loop) != AUD_SUCCESS) {
            aud_env_delete(env);
            return AUD_ERR_NOMEMORY;
        }
        env->flags |= AUD_ENV_FLAG_OWNS_EVENT_LOOP;
    }
    *out = env;
    return AUD_SUCCESS;
}

void aud_env_delete(aud_env* env) {
    if (env == nullptr || (env->flags & AUD_ENV_FLAG_ALLOCATED) == 0) {
        return;
    }
    free_owned(env);
    delete env;
}

aud_log* aud_env_get_log(const aud_env* env) {
    return env != nullptr ? env->log : nullptr;
}

aud_event_loop* aud_env_get_event_loop(const aud_env* env) {
    return env != nullptr ? env->event_loop : nullptr;
}

uint32_t aud_env_get_flags(const aud_env* env) {
    return env != nullptr ? env->flags : 0;
}

void* aud_env_get_user(const aud_env* env) {
    return env != nullptr ? env->user : nullptr;
}

void aud_env_set_user(aud_env* env, void* user) {
    if (env != nullptr) {
        env->user = user;
    }
}
