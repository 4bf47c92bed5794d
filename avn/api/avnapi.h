// The AVN API instance the application creates once: its environment (log
// and event loop), the runtime handle the application steps, the domain
// handler, and the domain provider through which every component created on
// the environment learns the current domain.
#pragma once

#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/avnapi_handle.h"
#include "avn/runtime/avnapi_runtime.h"

struct avnapi;
struct avn_domain_handler;
struct domain_provider;

// Builds everything or nothing: on failure what was built is freed and the
// failing step's error returned.
aud_error avnapi_new(avnapi** out);
void avnapi_delete(avnapi* instance);

avn_domain_handler* avnapi_get_domain_handler(const avnapi* instance);
avnapi_runtime* avnapi_get_runtime(const avnapi* instance);
domain_provider* avnapi_get_domain_provider(const avnapi* instance);
