// A bare local conmon client for the simulator's tests: one connected UDP
// socket on loopback, requests built with the project's codecs, and bounded
// waits for the answers and events that come back.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "avn/conmon/conmon_protocol.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/socket.h"
#include "sim/sim_device.h"

namespace sim_test {

using Datagram = std::vector<uint8_t>;
using std::chrono::milliseconds;

// Long enough for a loaded machine (or Wine) to answer; waits end as soon as
// the answer is there.
inline constexpr milliseconds kAnswerWait{3000};
// How long to listen before concluding that nothing is coming.
inline constexpr milliseconds kSilenceWait{300};

class ConmonTestClient {
  public:
    explicit ConmonTestClient(uint16_t server_port, uint16_t version = CONMON_PROTOCOL_VERSION);
    ~ConmonTestClient();
    ConmonTestClient(const ConmonTestClient&) = delete;
    ConmonTestClient& operator=(const ConmonTestClient&) = delete;

    uint16_t local_port() const { return local_port_; }
    uint16_t version() const { return version_; }
    void set_version(uint16_t version) { version_ = version; }

    // Gives the request the next id and sends it; returns the id.
    uint16_t send_request(Datagram request);
    void send_raw(std::span<const uint8_t> datagram);

    // The next datagram, or nothing within the wait. `error` gets the receive
    // error when one ends the wait.
    std::optional<Datagram> receive(milliseconds wait = kAnswerWait, aud_error* error = nullptr);
    // The answer to a request id; events that arrive first are kept for
    // next_event.
    std::optional<Datagram> answer_to(uint16_t request_id, milliseconds wait = kAnswerWait);
    std::optional<Datagram> next_event(milliseconds wait = kAnswerWait);
    // Sends a request and waits for its answer.
    std::optional<Datagram> request(Datagram request, milliseconds wait = kAnswerWait);

    // Requests, each waiting for its answer.
    std::optional<Datagram> connect(const char* name = "vendor_controller",
                                    milliseconds wait = kAnswerWait);
    std::optional<Datagram> keepalive(milliseconds wait = kAnswerWait);
    std::optional<Datagram> register_for(uint16_t channel_type, uint16_t direction,
                                         uint16_t opcode = CONMON_OPCODE_REGISTER);
    std::optional<Datagram> subscribe(uint16_t channel_type, const char* device,
                                      uint16_t opcode = CONMON_OPCODE_SUBSCRIBE);
    // Waits for the answer up to the request's timeout plus `wait`.
    std::optional<Datagram> control(const char* device, std::span<const uint8_t> conmon_message,
                                    uint32_t timeout_ms = 1000, milliseconds wait = kAnswerWait);
    // A vendor-specific control message (type 0xFFFF) with the maker's ID.
    std::optional<Datagram> vendor_control(
        const char* device, std::span<const uint8_t> body,
        const sim::ManufacturerId& maker = sim::kVornixManufacturerId, uint32_t timeout_ms = 1000,
        milliseconds wait = kAnswerWait);
    // CONNECT, then REGISTER and SUBSCRIBE for status messages of the
    // device, as the utility's transport does; true when all succeeded.
    bool open_like_transport(const char* device);

  private:
    aud_env* env_ = nullptr;
    aud_socket_t socket_ = AUD_SOCKET_INVALID;
    uint16_t local_port_ = 0;
    uint16_t version_;
    uint16_t next_id_ = 1;
    std::deque<Datagram> events_;
};

// The status of an answer (kind and status field as received).
uint16_t status_of(const Datagram& answer);
conmon_protocol_header header_of(const Datagram& datagram);

// A conmon message for a CONTROL request: the given type, maker and body.
Datagram build_conmon_message(uint16_t type, const sim::ManufacturerId& maker,
                              std::span<const uint8_t> body);
// A vendor envelope around the payload.
Datagram envelope(uint32_t channel, std::span<const uint8_t> payload);

// What an RX_NAMED_MESSAGE event from a device carries.
struct DeviceEvent {
    uint16_t channel_type = 0;
    uint16_t direction = 0;
    std::string sender;
    uint16_t message_type = 0;
    conmon_source source{};
    sim::ManufacturerId maker{};
    Datagram body;
};
std::optional<DeviceEvent> parse_device_event(const Datagram& datagram);

}  // namespace sim_test
