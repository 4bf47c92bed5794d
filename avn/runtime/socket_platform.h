// Start-up and shut-down of the system's socket layer, run by the global
// environment (not part of the public API).
#pragma once

#include "avn/runtime/aud_error.h"

// Starts the socket layer and looks up what it needs from it. Failures are
// not reported: they show later as errors of the socket operations.
void aud_socket_platform_startup();
// Undoes one start-up; returns the mapped system error.
aud_error aud_socket_platform_cleanup();
