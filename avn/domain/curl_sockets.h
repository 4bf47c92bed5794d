// The sockets that a libcurl multi handle waits on, as lists of the
// runtime's socket type (fd_set differs between the platforms).
#pragma once

#include <vector>

#include <curl/curl.h>

#include "avn/runtime/aud_error.h"
#include "avn/runtime/socket.h"

struct curl_socket_lists {
    std::vector<aud_socket_t> read;
    std::vector<aud_socket_t> write;
    std::vector<aud_socket_t> except;

    bool empty() const { return read.empty() && write.empty() && except.empty(); }
};

// FAULT when libcurl cannot say.
aud_error curl_get_socket_lists(CURLM* multi, curl_socket_lists* out);

// The members of one fd_set that libcurl filled, in `out`: the one step that
// differs between the platforms (curl_sockets_posix.cpp, curl_sockets_win32.cpp).
void curl_collect_fd_set(const fd_set& set, int max_fd, std::vector<aud_socket_t>& out);
