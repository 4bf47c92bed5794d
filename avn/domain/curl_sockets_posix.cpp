#include <sys/select.h>

#include "avn/domain/curl_sockets.h"

void curl_collect_fd_set(const fd_set& set, int max_fd, std::vector<aud_socket_t>& out) {
    out.clear();
    for (int fd = 0; fd <= max_fd && fd < FD_SETSIZE; ++fd) {
        if (FD_ISSET(fd, &set)) {
            out.push_back(fd);
        }
    }
}
