#include <winsock2.h>

#include "avn/domain/curl_sockets.h"

namespace {

// A Winsock fd_set lists its members; max_fd means nothing here.
void collect(const fd_set& set, std::vector<aud_socket_t>& out) {
    out.clear();
    for (u_int i = 0; i < set.fd_count && i < FD_SETSIZE; ++i) {
        out.push_back(static_cast<aud_socket_t>(set.fd_array[i]));
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
    collect(read_set, out->read);
    collect(write_set, out->write);
    collect(except_set, out->except);
    return AUD_SUCCESS;
}
