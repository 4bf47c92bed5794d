#include <winsock2.h>

#include "avn/domain/curl_sockets.h"

// A Winsock fd_set lists its members; max_fd means nothing here.
void curl_collect_fd_set(const fd_set& set, int, std::vector<aud_socket_t>& out) {
    out.clear();
    for (u_int i = 0; i < set.fd_count && i < FD_SETSIZE; ++i) {
        out.push_back(static_cast<aud_socket_t>(set.fd_array[i]));
    }
}
