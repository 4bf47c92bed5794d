// Runtime environments. Every AVN API component lives in one: it finds there
// the log it writes to, the event loop it runs on and the user pointer (the
// instance's domain provider).
//
// There is one global environment, shared by reference count, which starts
// the platform's socket layer and has a log but no event loop; and any number
// of allocated ones, made with aud_env_new and freed with aud_env_delete.
#pragma once

#include <cstdint>

#include "avn/runtime/aud_error.h"

struct aud_env;
struct aud_log;
struct aud_event_loop;

// What an environment is and owns.
enum : uint32_t {
    AUD_ENV_FLAG_ALLOCATED = 1u << 0,
    AUD_ENV_FLAG_OWNS_LOG = 1u << 1,
    AUD_ENV_FLAG_OWNS_EVENT_LOOP = 1u << 2,
    AUD_ENV_FLAG_NOT_RELEASABLE = 1u << 3,  // freed with aud_env_delete only
};

// What aud_env_new is asked to create.
enum : uint32_t {
    AUD_ENV_WITH_LOG = AUD_ENV_FLAG_OWNS_LOG,
    AUD_ENV_WITH_EVENT_LOOP = AUD_ENV_FLAG_OWNS_EVENT_LOOP,
};

// Takes a reference on the global environment; the first one starts the
// platform's socket layer and creates the global log (NOMEMORY if it cannot).
aud_error aud_env_acquire(aud_env** out);
// Drops a reference on the global environment; the last one frees the log
// and shuts the socket layer down. An allocated environment is refused with
// an error line on standard error.
aud_error aud_env_release(aud_env* env);

// An allocated environment with a log and/or an event loop as asked.
aud_error aud_env_new(uint32_t flags, aud_env** out);
// Frees an allocated environment with what it owns; does nothing to others.
void aud_env_delete(aud_env* env);

aud_log* aud_env_get_log(const aud_env* env);
aud_event_loop* aud_env_get_event_loop(const aud_env* env);
uint32_t aud_env_get_flags(const aud_env* env);
void* aud_env_get_user(const aud_env* env);
void aud_env_set_user(aud_env* env, void* user);
