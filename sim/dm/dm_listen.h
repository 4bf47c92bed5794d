// The options of the web side's listening socket, which differ by platform.
#pragma once

#include <httplib.h>

namespace sim {

// Lets the port be bound again at once after it was closed (connections the
// server closed may still linger), but never by a second listener while the
// first one is there: a second avn-sim on the same port must fail to start.
void dm_listen_socket_options(socket_t socket);

}  // namespace sim
