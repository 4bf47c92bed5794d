// The sockets a libcurl multi handle waits on, read from the fd_sets that
// curl_multi_fdset fills.
#include "avn/domain/curl_sockets.h"

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
    curl_collect_fd_set(read_set, max_fd, out->read);
    curl_collect_fd_set(write_set, max_fd, out->write);
    curl_collect_fd_set(except_set, max_fd, out->except);
    return AUD_SUCCESS;
}
