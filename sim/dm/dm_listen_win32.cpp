#include <winsock2.h>

#include "sim/dm/dm_listen.h"

namespace sim {

// Windows lets a port be bound again at once anyway; SO_EXCLUSIVEADDRUSE
// keeps any other socket off it while it is ours.
void dm_listen_socket_options(socket_t socket) {
    BOOL yes = TRUE;
    setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
}

}  // namespace sim
