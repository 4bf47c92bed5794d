// What the components below the AVN API instance know of it.
//
// The conmon client, the connection-manager client and the device browser
// are created on an instance but need only its environment: the environment
// carries the log, the event loop and the domain provider. Every instance
// begins with this header, so those components reach the environment without
// depending on the layer that builds the instance.
#pragma once

#include "avn/runtime/aud_env.h"

struct avnapi;

struct avnapi_header {
    aud_env* env = nullptr;
};

// The instance's environment; null for an absent instance.
inline aud_env* avnapi_get_env(const avnapi* instance) {
    return instance != nullptr ? reinterpret_cast<const avnapi_header*>(instance)->env : nullptr;
}
