#include <sys/socket.h>

#include "sim/dm/dm_listen.h"

namespace sim {

// SO_REUSEADDR alone: unlike SO_REUSEPORT it lets no two sockets listen on
// one port.
void dm_listen_socket_options(socket_t socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace sim
