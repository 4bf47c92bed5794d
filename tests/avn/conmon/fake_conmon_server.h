// A scripted local conmon server for the client's tests: it answers what it
// is told to answer, records every request, and is serviced from the test's
// own loop so that runs are deterministic.
#pragma once

#include <cstring>
#include <functional>
#include <vector>

#include "avn/conmon/conmon_protocol.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/socket.h"

class FakeConmonServer {
public:
    using Bytes = std::vector<uint8_t>;
    struct Request {
        conmon_protocol_header header;
        Bytes bytes;
    };

    FakeConmonServer() {
        aud_env_acquire(&global_env_);  // starts the socket layer where it needs starting
        aud_socket_open_udp(&socket_, AUD_AF_INET);
        aud_socket_address any{};
        aud_socket_address_set_ipv4(&any, 0x7F000001u, 0);
        aud_socket_bind(socket_, &any);
        aud_socket_set_blocking(socket_, false);
        aud_socket_get_local_address(socket_, &address_);
    }
    ~FakeConmonServer() {
        aud_socket_close(&socket_);
        aud_env_release(global_env_);
    }
    FakeConmonServer(const FakeConmonServer&) = delete;
    FakeConmonServer& operator=(const FakeConmonServer&) = delete;

    const aud_socket_address& address() const { return address_; }
    void close() { aud_socket_close(&socket_); }

    // Reads every waiting request and answers it as configured.
    void service() {
        for (;;) {
            Bytes buffer(CONMON_PROTOCOL_MAX_MESSAGE_SIZE);
            size_t length = buffer.size();
            aud_socket_address from{};
            if (socket_ == AUD_SOCKET_INVALID ||
                aud_socket_recvfrom(socket_, buffer.data(), &length, &from) != AUD_SUCCESS) {
                return;
            }
            buffer.resize(length);
            client_ = from;
            Request request{};
            conmon_protocol_read_header(buffer, &request.header);
            request.bytes = buffer;
            requests.push_back(request);
            if (!silent) {
                answer(request);
            }
        }
    }

    void send(const Bytes& message) {
        size_t length = message.size();
        aud_socket_sendto(socket_, message.data(), &length, &client_);
    }

    std::vector<uint16_t> opcodes() const {
        std::vector<uint16_t> out;
        for (const Request& r : requests) {
            out.push_back(r.header.opcode);
        }
        return out;
    }

    size_t count(uint16_t opcode) const {
        size_t n = 0;
        for (const Request& r : requests) {
            n += r.header.opcode == opcode ? 1 : 0;
        }
        return n;
    }

    Bytes built(const std::function<size_t(std::span<uint8_t>)>& build) {
        Bytes out(CONMON_PROTOCOL_MAX_MESSAGE_SIZE);
        out.resize(build(out));
        return out;
    }

    bool silent = false;           // answers nothing
    uint16_t version = CONMON_PROTOCOL_VERSION;
    uint16_t capabilities = CONMON_CAPABILITY_NO_RESPONSE;  // announced in the connect response
    uint16_t connect_status = CONMON_STATUS_RESPONSE;
    uint16_t control_status = CONMON_STATUS_RESPONSE;
    uint16_t keepalive_status = CONMON_STATUS_RESPONSE;
    bool answer_control = true;
    std::vector<conmon_subscription_record> subscription_records;
    std::vector<Request> requests;

private:
    void answer(const Request& request) {
        const conmon_protocol_header& h = request.header;
        if ((h.status & CONMON_STATUS_NO_RESPONSE) != 0) {
            return;
        }
        // Like a real server, it tells a request what was wrong with it.
        if (const uint16_t fault = conmon_protocol_validate(request.bytes); fault != 0) {
            send(built([&](auto o) { return conmon_build_response(o, h, fault); }));
            return;
        }
        switch (h.opcode) {
            case CONMON_OPCODE_CONNECT: {
                if (h.version >= CONMON_VERSION_KEEPALIVE_FIELD && version < CONMON_VERSION_KEEPALIVE_FIELD) {
                    conmon_protocol_header older = h;
                    older.version = version;
                    send(built([&](auto o) { return conmon_build_response(o, older, CONMON_STATUS_INVALID_SIZE); }));
                    return;
                }
                if (connect_status != CONMON_STATUS_RESPONSE) {
                    send(built([&](auto o) { return conmon_build_response(o, h, connect_status); }));
                    return;
                }
                conmon_connect_info info;
                std::strcpy(info.device_name, "CONTROL-PC");
                info.source = {{0xAA, 0, 0, 0, 0, 0, 0, 1}, 77};
                info.capabilities = capabilities;
                send(built([&](auto o) { return conmon_build_connect_response(o, h, version, info); }));
                return;
            }
            case CONMON_OPCODE_DISCONNECT:
                return;
            case CONMON_OPCODE_KEEPALIVE:
                send(built([&](auto o) { return conmon_build_response(o, h, keepalive_status); }));
                return;
            case CONMON_OPCODE_SUBSCRIBE:
                send(built([&](auto o) {
                    return conmon_build_subscriptions(o, version, &h, subscription_records);
                }));
                return;
            case CONMON_OPCODE_CONTROL:
                if (answer_control) {
                    send(built([&](auto o) { return conmon_build_response(o, h, control_status); }));
                }
                return;
            default:
                send(built([&](auto o) { return conmon_build_response(o, h, CONMON_STATUS_RESPONSE); }));
                return;
        }
    }

    aud_env* global_env_ = nullptr;
    aud_socket_t socket_ = AUD_SOCKET_INVALID;
    aud_socket_address address_{};
    aud_socket_address client_{};
};
