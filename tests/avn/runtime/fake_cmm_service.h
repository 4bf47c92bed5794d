// A stand-in for the local connection-manager service on a loopback port of
// its own, served by a thread of its own (the code under test blocks while it
// steps the AVN runtime). It accepts CONNECT, then sends its options and its
// state; it answers keepalives and DISCONNECT; it records what it saw. A
// silent service receives but never answers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "avn/domain/cmm_messages.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/socket.h"

class FakeCmmService {
public:
    // On the port given, or on any free one.
    explicit FakeCmmService(bool silent = false, uint16_t port = 0) : silent_(silent) {
        aud_env_acquire(&global_env_);
        aud_socket_open_udp(&socket_, AUD_AF_INET);
        aud_socket_address any{};
        aud_socket_address_set_ipv4(&any, 0x7F000001u, port);
        aud_socket_bind(socket_, &any);
        aud_socket_get_local_address(socket_, &address_);
        options_ = make_options();
        state_ = make_state(CMM_STATUS_READY);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeCmmService() {
        quit_ = true;
        thread_.join();
        aud_socket_close(&socket_);
        aud_env_release(global_env_);
    }
    FakeCmmService(const FakeCmmService&) = delete;
    FakeCmmService& operator=(const FakeCmmService&) = delete;

    uint16_t port() const { return aud_socket_address_get_port(&address_); }

    // A port on which nothing listens (bound, read, then closed again).
    static uint16_t closed_port() {
        aud_env* global_env = nullptr;
        aud_env_acquire(&global_env);  // starts the socket layer where it needs starting
        aud_socket_t s = AUD_SOCKET_INVALID;
        aud_socket_open_udp(&s, AUD_AF_INET);
        aud_socket_address any{};
        aud_socket_address_set_ipv4(&any, 0x7F000001u, 0);
        aud_socket_bind(s, &any);
        aud_socket_address bound{};
        aud_socket_get_local_address(s, &bound);
        aud_socket_close(&s);
        aud_env_release(global_env);
        return aud_socket_address_get_port(&bound);
    }

    static cmm_interface make_interface(const char* name, uint8_t mac_last) {
        cmm_interface out{};
        for (size_t i = 0; name[i] != '\0' && i + 1 < CMM_INTERFACE_NAME_SIZE; ++i) {
            out.name[i] = static_cast<char16_t>(name[i]);
        }
        const uint8_t mac[CMM_MAC_SIZE] = {0x02, 0, 0, 0, 0, mac_last};
        std::memcpy(out.mac, mac, sizeof mac);
        return out;
    }
    static cmm_options make_options() {
        cmm_options options{};
        options.count = 2;
        options.interfaces[0] = make_interface("eth0", 1);
        options.interfaces[1] = make_interface("eth1", 2);
        return options;
    }
    static cmm_state make_state(uint16_t status) {
        cmm_state state{};
        state.status = status;
        std::strcpy(state.device_name, "CONTROL-PC");
        state.current_config.count = 1;
        state.current_config.interfaces[0] = make_interface("eth0", 1);
        return state;
    }

    // Sends a STATE event to the connected client.
    void send_state(const cmm_state& state) {
        std::lock_guard lock(mutex_);
        state_ = state;
        if (connected_) {
            send_state_locked();
        }
    }

    // Waits (bounded) until the service saw `count` requests of the opcode.
    bool wait_for(uint16_t opcode, int count, int milliseconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [&] { return seen(opcode) >= count; });
    }
    int count(uint16_t opcode) {
        std::lock_guard lock(mutex_);
        return seen(opcode);
    }
    std::string client_name() {
        std::lock_guard lock(mutex_);
        return registration_.name;
    }

private:
    int seen(uint16_t opcode) const {
        switch (opcode) {
            case CMM_OPCODE_CONNECT:
                return connects_;
            case CMM_OPCODE_DISCONNECT:
                return disconnects_;
            default:
                return 0;
        }
    }

    void send(const dgcp2_message& message) {
        const auto bytes = dgcp2_message_bytes(&message);
        size_t length = bytes.size();
        aud_socket_sendto(socket_, bytes.data(), &length, &client_address_);
    }

    void send_state_locked() {
        dgcp2_message event{};
        cmm_build_state_event(&event, seqnum_++, &client_id_, &state_);
        send(event);
    }

    void serve() {
        const aud_time slice = aud_time_from_milliseconds(20);
        while (!quit_) {
            if (aud_socket_wait_readable(socket_, &slice) != AUD_SUCCESS) {
                continue;
            }
            uint8_t buffer[DGCP2_MESSAGE_SIZE];
            size_t length = sizeof buffer;
            aud_socket_address from{};
            if (aud_socket_recvfrom(socket_, buffer, &length, &from) != AUD_SUCCESS) {
                continue;
            }
            dgcp2_message request{};
            if (dgcp2_message_load(&request, CMM_HEADER_TYPE, {buffer, length}) != AUD_SUCCESS) {
                continue;
            }
            handle(request, from);
        }
    }

    void handle(const dgcp2_message& request, const aud_socket_address& from) {
        std::lock_guard lock(mutex_);
        client_address_ = from;
        client_id_ = dgcp2_message_get_client_id(&request);
        dgcp2_message answer{};
        switch (dgcp2_message_get_opcode(&request)) {
            case CMM_OPCODE_CONNECT: {
                ++connects_;
                cmm_decode_connect_request(&request, &registration_);
                if (silent_) {
                    break;
                }
                const cmm_connection_info info{{1, 0}, {1, 0}};
                cmm_build_connect_response(&answer, &request, &info);
                send(answer);
                connected_ = true;
                dgcp2_message event{};
                cmm_build_options_event(&event, seqnum_++, &client_id_, &options_);
                send(event);
                send_state_locked();
                break;
            }
            case CMM_OPCODE_DISCONNECT:
                ++disconnects_;
                connected_ = false;
                if (!silent_) {
                    cmm_build_response(&answer, &request, DGCP2_KIND_RESPONSE);
                    send(answer);
                }
                break;
            default:
                if (!silent_) {
                    cmm_build_response(&answer, &request, DGCP2_KIND_RESPONSE);
                    send(answer);
                }
                break;
        }
        changed_.notify_all();
    }

    const bool silent_;
    aud_env* global_env_ = nullptr;
    aud_socket_t socket_ = AUD_SOCKET_INVALID;
    aud_socket_address address_{};
    std::atomic<bool> quit_{false};
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    aud_socket_address client_address_{};
    dgcp2_client_id client_id_{};
    cmm_registration registration_{};
    cmm_options options_{};
    cmm_state state_{};
    uint16_t seqnum_ = 0;
    bool connected_ = false;
    int connects_ = 0;
    int disconnects_ = 0;
};
