// The runtime handle that the application steps: it exports the sockets and
// the longest wait of an environment's event loop and processes what became
// ready. Created and freed with the avnapi instance.
#pragma once

#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_time.h"
#include "avn/runtime/socket.h"

struct avnapi_runtime;

// A handle on the environment's event loop (an environment without one gives
// a handle whose processing is refused with INVALIDSTATE).
aud_error avnapi_runtime_new(aud_env* env, avnapi_runtime** out);
void avnapi_runtime_delete(avnapi_runtime* runtime);

aud_env* avnapi_runtime_get_env(const avnapi_runtime* runtime);

// Adds the loop's read and write sockets to the sets (if given) and sets the
// timeout (if wanted) to the longest wait before the next step: 60 seconds at
// most, zero when deferred calls are queued or a timer is overdue.
aud_error avnapi_runtime_get_fdsets(avnapi_runtime* runtime, aud_fdsets* sets, aud_time* timeout);
// Dispatches the ready sockets of the sets (if given), then runs one
// processing step. INVALIDSTATE from inside processing or without a loop.
aud_error avnapi_runtime_process(avnapi_runtime* runtime, aud_fdsets* sets);
