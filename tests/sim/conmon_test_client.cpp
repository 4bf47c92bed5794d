#include "tests/sim/conmon_test_client.h"

#include <algorithm>
#include <cstring>

#include "device/vendor_envelope.h"

namespace sim_test {

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
using Clock = std::chrono::steady_clock;

}  // namespace

ConmonTestClient::ConmonTestClient(uint16_t server_port, uint16_t version) : version_(version) {
    aud_env_acquire(&env_);
    aud_socket_address server{};
    aud_socket_address_set_ipv4(&server, kLoopback, server_port);
    aud_socket_open_and_connect(&socket_, &server);
    aud_socket_address local{};
    aud_socket_get_local_address(socket_, &local);
    local_port_ = aud_socket_address_get_port(&local);
}

ConmonTestClient::~ConmonTestClient() {
    aud_socket_close(&socket_);
    if (env_ != nullptr) {
        aud_env_release(env_);
    }
}

uint16_t ConmonTestClient::send_request(Datagram request) {
    const uint16_t id = next_id_++;
    if (next_id_ == 0) {
        next_id_ = 1;
    }
    conmon_protocol_set_request_id(request, id);
    send_raw(request);
    return id;
}

void ConmonTestClient::send_raw(std::span<const uint8_t> datagram) {
    size_t length = datagram.size();
    aud_socket_send(socket_, datagram.data(), &length);
}

std::optional<Datagram> ConmonTestClient::receive(milliseconds wait, aud_error* error) {
    const Clock::time_point deadline = Clock::now() + wait;
    while (true) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        const aud_time timeout = aud_time_from_milliseconds(left.count());
        if (aud_socket_wait_readable(socket_, &timeout) == AUD_ERR_TIMEDOUT) {
            continue;  // the deadline check ends the loop
        }
        Datagram datagram(CONMON_PROTOCOL_MAX_MESSAGE_SIZE);
        size_t length = datagram.size();
        const aud_error result = aud_socket_recv(socket_, datagram.data(), &length);
        if (result == AUD_SUCCESS) {
            datagram.resize(length);
            return datagram;
        }
        if (error != nullptr) {
            *error = result;
            return std::nullopt;
        }
    }
}

std::optional<Datagram> ConmonTestClient::answer_to(uint16_t request_id, milliseconds wait) {
    const Clock::time_point deadline = Clock::now() + wait;
    while (true) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        std::optional<Datagram> datagram = receive(std::max(left, milliseconds(0)));
        if (!datagram) {
            return std::nullopt;
        }
        const conmon_protocol_header header = header_of(*datagram);
        if (conmon_protocol_kind(header.status) == CONMON_STATUS_EVENT) {
            events_.push_back(std::move(*datagram));
        } else if (header.request_id == request_id) {
            return datagram;
        }
    }
}

std::optional<Datagram> ConmonTestClient::next_event(milliseconds wait) {
    if (!events_.empty()) {
        Datagram event = std::move(events_.front());
        events_.pop_front();
        return event;
    }
    const Clock::time_point deadline = Clock::now() + wait;
    while (true) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        std::optional<Datagram> datagram = receive(std::max(left, milliseconds(0)));
        if (!datagram || conmon_protocol_kind(header_of(*datagram).status) == CONMON_STATUS_EVENT) {
            return datagram;
        }
    }
}

std::optional<Datagram> ConmonTestClient::connect(const char* name, milliseconds wait) {
    Datagram request(64);
    request.resize(conmon_build_connect(request, version_, name, true));
    return answer_to(send_request(request), wait);
}

std::optional<Datagram> ConmonTestClient::request(Datagram request, milliseconds wait) {
    return answer_to(send_request(std::move(request)), wait);
}

std::optional<Datagram> ConmonTestClient::keepalive(milliseconds wait) {
    Datagram request(CONMON_PROTOCOL_HEADER_SIZE);
    conmon_build_header_only(request, version_, CONMON_OPCODE_KEEPALIVE);
    return answer_to(send_request(request), wait);
}

std::optional<Datagram> ConmonTestClient::register_for(uint16_t channel_type, uint16_t direction,
                                                       uint16_t opcode) {
    Datagram request(32);
    request.resize(conmon_build_register(request, version_, opcode, channel_type, direction, 0));
    return answer_to(send_request(request));
}

std::optional<Datagram> ConmonTestClient::subscribe(uint16_t channel_type, const char* device,
                                                    uint16_t opcode) {
    Datagram request(64);
    request.resize(conmon_build_subscribe(request, version_, opcode, channel_type, 0, device));
    return answer_to(send_request(request));
}

std::optional<Datagram> ConmonTestClient::control(const char* device,
                                                  std::span<const uint8_t> message,
                                                  uint32_t timeout_ms, milliseconds wait) {
    Datagram request(CONMON_PROTOCOL_MAX_MESSAGE_SIZE);
    request.resize(conmon_build_control(request, version_, device, timeout_ms / 1000,
                                        timeout_ms % 1000 * 1000, message));
    return answer_to(send_request(request), milliseconds(timeout_ms) + wait);
}

std::optional<Datagram> ConmonTestClient::vendor_control(const char* device,
                                                         std::span<const uint8_t> body,
                                                         const sim::ManufacturerId& maker,
                                                         uint32_t timeout_ms, milliseconds wait) {
    return control(device, build_conmon_message(sim::kVendorMessageType, maker, body), timeout_ms,
                   wait);
}

bool ConmonTestClient::open_like_transport(const char* device) {
    const auto connected = connect();
    const auto registered = register_for(CONMON_CHANNEL_TYPE_STATUS, CONMON_DIRECTION_REMOTE);
    const auto subscribed = subscribe(CONMON_CHANNEL_TYPE_STATUS, device);
    return connected && status_of(*connected) == CONMON_STATUS_RESPONSE && registered &&
           status_of(*registered) == CONMON_STATUS_RESPONSE && subscribed &&
           status_of(*subscribed) == CONMON_STATUS_RESPONSE;
}

conmon_protocol_header header_of(const Datagram& datagram) {
    conmon_protocol_header header;
    conmon_protocol_read_header(datagram, &header);
    return header;
}

uint16_t status_of(const Datagram& answer) {
    return header_of(answer).status;
}

Datagram build_conmon_message(uint16_t type, const sim::ManufacturerId& maker,
                              std::span<const uint8_t> body) {
    Datagram message(CONMON_MESSAGE_HEAD_SIZE + body.size());
    size_t size = 0;
    conmon_message_build(message, type, maker.data(), body, &size);
    message.resize(size);
    return message;
}

Datagram envelope(uint32_t channel, std::span<const uint8_t> payload) {
    Datagram bytes(payload.size() + kEnvelopeOverhead);
    bytes.resize(encode_vendor_envelope(channel, payload, bytes));
    return bytes;
}

std::optional<DeviceEvent> parse_device_event(const Datagram& datagram) {
    conmon_rx_message rx;
    if (conmon_protocol_validate(datagram) != 0 ||
        header_of(datagram).opcode != CONMON_OPCODE_RX_NAMED_MESSAGE ||
        !conmon_parse_rx_message(datagram, &rx)) {
        return std::nullopt;
    }
    const conmon_message* message = conmon_message_from_bytes(rx.message.data());
    DeviceEvent event;
    event.channel_type = rx.channel_type;
    event.direction = rx.direction;
    event.sender = rx.sender;
    event.message_type = conmon_message_type(message);
    event.source = conmon_message_source(message);
    std::copy_n(conmon_message_vendor_id(message), event.maker.size(), event.maker.begin());
    event.body.assign(conmon_message_body(message),
                      conmon_message_body(message) + conmon_message_body_size(message));
    return event;
}

}  // namespace sim_test
