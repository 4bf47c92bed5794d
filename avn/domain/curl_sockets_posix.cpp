#include <sys/select.h>

#include "avn/domain/curl_sockets.h"

namespace {

void collect(const fd_set& set, int max_fd, std::vector<aud_socket_t>& out) {
    out.clear();
    for (int fd = 0; fd <= max_fd && fd < FD_SETSIZE; ++fd) {
        if (FD_ISSET(fd, &set)) {
            out.push_back(fd);
        }
    }
}

}  // namespace

aud_error curl_get_socket_lists(CURLM* multi, curl_socket_lists* out) {
    fd_set read_set;
    fd_set write_set;
    fd_set except_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&except_set);
    int max_fd = -1;
    if (curl_multi_fdset(multi, &read_set, &write_set, &except_set, &max_fd) != CURLM_OK) {
        return AUD_ERR_FAULT;
    }
    collect(read_set, max_fd, out->read);
    collect(write_set, max_fd, out->write);
    collect(except_set, max_fd, out->except);
    return AUD_SUCCESS;
}
