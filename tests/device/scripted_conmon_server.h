// A scripted local conmon server for the conmon transport's tests, served by
// a thread of its own (the transport blocks while it steps the AVN runtime).
// It accepts connections, registrations and subscriptions, reports two
// subscribable devices with their sources, answers control messages with the
// status it is told to (or not at all), records them, and sends device
// messages on the test's demand.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "avn/conmon/conmon_protocol.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/socket.h"

class ScriptedConmonServer {
public:
    using Bytes = std::vector<uint8_t>;

    struct Device {
        const char* name;
        conmon_source source;
    };
    static constexpr Device kUnit{"TPX2-Stage", {{0x10, 0x20, 0, 0, 0, 0, 0, 5}, 9}};
    static constexpr Device kOtherUnit{"TPX2-Foyer", {{0x10, 0x20, 0, 0, 0, 0, 0, 6}, 9}};

    struct Control {
        std::string device_name;
        uint32_t timeout_seconds = 0;
        uint32_t timeout_microseconds = 0;
        Bytes conmon_message;  // head and body
    };

    ScriptedConmonServer() {
        aud_env_acquire(&global_env_);
        aud_socket_open_udp(&socket_, AUD_AF_INET);
        aud_socket_address any{};
        aud_socket_address_set_ipv4(&any, 0x7F000001u, 0);
        aud_socket_bind(socket_, &any);
        aud_socket_get_local_address(socket_, &address_);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedConmonServer() {
        quit_ = true;
        thread_.join();
        aud_socket_close(&socket_);
        aud_env_release(global_env_);
    }
    ScriptedConmonServer(const ScriptedConmonServer&) = delete;
    ScriptedConmonServer& operator=(const ScriptedConmonServer&) = delete;

    uint16_t port() const { return aud_socket_address_get_port(&address_); }

    // What the server does; set between tests.
    struct Script {
        bool silent = false;  // answers nothing
        uint16_t subscribe_status = CONMON_STATUS_RESPONSE;
        bool answer_control = true;
        uint16_t control_status = CONMON_STATUS_RESPONSE;
    };
    void set_script(const Script& script) {
        std::lock_guard lock(mutex_);
        script_ = script;
    }
    void reset() {
        std::lock_guard lock(mutex_);
        script_ = Script{};
        controls_.clear();
        opcodes_.clear();
    }

    // A device message as the server relays it: RX_MESSAGE (the client names
    // the sender by its subscription), or RX_NAMED_MESSAGE with `sender`.
    void send_device_message(const conmon_source& source, const uint8_t vendor[8],
                             const Bytes& body, const char* sender = nullptr,
                             uint16_t channel_type = CONMON_CHANNEL_TYPE_STATUS) {
        Bytes message(CONMON_MESSAGE_HEAD_SIZE + body.size());
        size_t size = 0;
        conmon_message_build(message, 0x0001, vendor, body, &size);
        conmon_message_set_origin(message.data(), ++sequence_, source);
        Bytes event(CONMON_PROTOCOL_MAX_MESSAGE_SIZE);
        event.resize(sender != nullptr
                         ? conmon_build_rx_named_message(event, CONMON_PROTOCOL_VERSION,
                                                         channel_type, CONMON_DIRECTION_REMOTE,
                                                         sender, message)
                         : conmon_build_rx_message(event, CONMON_PROTOCOL_VERSION, channel_type,
                                                   CONMON_DIRECTION_REMOTE, 0, message));
        std::lock_guard lock(mutex_);
        send(event);
    }

    bool wait_for_controls(size_t count, int milliseconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [&] { return controls_.size() >= count; });
    }
    bool wait_for_opcode(uint16_t opcode, int milliseconds) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
            for (const auto& seen : opcodes_) {
                if (seen.opcode == opcode) {
                    return true;
                }
            }
            return false;
        });
    }
    std::vector<Control> controls() {
        std::lock_guard lock(mutex_);
        return controls_;
    }
    struct Seen {
        uint16_t opcode;
        std::string name;
        uint16_t channel_type;
        uint16_t direction;
    };
    std::vector<Seen> requests() {
        std::lock_guard lock(mutex_);
        return opcodes_;
    }

private:
    Bytes built(const std::function<size_t(std::span<uint8_t>)>& build) {
        Bytes out(CONMON_PROTOCOL_MAX_MESSAGE_SIZE);
        out.resize(build(out));
        return out;
    }

    void send(const Bytes& message) {
        size_t length = message.size();
        aud_socket_sendto(socket_, message.data(), &length, &client_);
    }

    void serve() {
        const aud_time slice = aud_time_from_milliseconds(20);
        while (!quit_) {
            if (aud_socket_wait_readable(socket_, &slice) != AUD_SUCCESS) {
                continue;
            }
            Bytes buffer(CONMON_PROTOCOL_MAX_MESSAGE_SIZE);
            size_t length = buffer.size();
            aud_socket_address from{};
            if (aud_socket_recvfrom(socket_, buffer.data(), &length, &from) != AUD_SUCCESS) {
                continue;
            }
            buffer.resize(length);
            std::lock_guard lock(mutex_);
            client_ = from;
            answer(buffer);
            changed_.notify_all();
        }
    }

    void answer(const Bytes& request) {
        conmon_protocol_header h{};
        if (!conmon_protocol_read_header(request, &h)) {
            return;
        }
        conmon_request_fields fields{};
        conmon_parse_request(request, &fields);
        opcodes_.push_back({h.opcode, fields.name, fields.channel_type, fields.direction});
        if (script_.silent || (h.status & CONMON_STATUS_NO_RESPONSE) != 0) {
            return;
        }
        switch (h.opcode) {
            case CONMON_OPCODE_CONNECT: {
                conmon_connect_info info;
                std::strcpy(info.device_name, "CONTROL-PC");
                info.source = {{0xAA, 0, 0, 0, 0, 0, 0, 1}, 77};
                info.capabilities = CONMON_CAPABILITY_NO_RESPONSE;
                send(built([&](auto o) {
                    return conmon_build_connect_response(o, h, CONMON_PROTOCOL_VERSION, info);
                }));
                return;
            }
            case CONMON_OPCODE_DISCONNECT:
                return;
            case CONMON_OPCODE_SUBSCRIBE: {
                if (script_.subscribe_status != CONMON_STATUS_RESPONSE) {
                    send(built([&](auto o) {
                        return conmon_build_response(o, h, script_.subscribe_status);
                    }));
                    return;
                }
                std::vector<conmon_subscription_record> records;
                for (const Device& device : {kUnit, kOtherUnit}) {
                    conmon_subscription_record record;
                    std::strcpy(record.device_name, device.name);
                    record.flags =
                        CONMON_SUBSCRIPTION_FLAG_SOURCE | CONMON_SUBSCRIPTION_FLAG_SUBSCRIPTION;
                    record.channel_type = CONMON_CHANNEL_TYPE_STATUS;
                    record.source = device.source;
                    records.push_back(record);
                }
                send(built([&](auto o) {
                    return conmon_build_subscriptions(o, CONMON_PROTOCOL_VERSION, &h, records);
                }));
                return;
            }
            case CONMON_OPCODE_CONTROL:
                controls_.push_back(
                    {fields.name, fields.timeout_seconds, fields.timeout_microseconds,
                     Bytes(fields.conmon_message.begin(), fields.conmon_message.end())});
                if (script_.answer_control) {
                    send(built([&](auto o) {
                        return conmon_build_response(o, h, script_.control_status);
                    }));
                }
                return;
            default:
                send(built(
                    [&](auto o) { return conmon_build_response(o, h, CONMON_STATUS_RESPONSE); }));
                return;
        }
    }

    aud_env* global_env_ = nullptr;
    aud_socket_t socket_ = AUD_SOCKET_INVALID;
    aud_socket_address address_{};
    std::atomic<bool> quit_{false};
    std::thread thread_;
    std::atomic<uint16_t> sequence_{0};

    std::mutex mutex_;
    std::condition_variable changed_;
    aud_socket_address client_{};
    Script script_;
    std::vector<Control> controls_;
    std::vector<Seen> opcodes_;
};
