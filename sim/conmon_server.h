// The simulated local conmon server: a UDP service on 127.0.0.1 that speaks
// the local conmon protocol with any number of clients, relays their control
// messages to the devices of the simulated network and delivers the
// devices' messages back to the clients that registered for them and
// subscribed to the device.
//
// It runs on a thread of its own. Every public operation is thread-safe:
// tests start it in-process, read its state and switch faults on and off
// while clients talk to it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <span>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "avn/conmon/conmon_protocol.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/socket.h"
#include "sim/client_registry.h"
#include "sim/datagram_faults.h"
#include "sim/sim_device.h"
#include "sim/sim_log.h"
#include "sim/tpx2_unit.h"

namespace sim {

inline constexpr uint16_t kDefaultConmonPort = 8900;

struct ConmonServerSettings {
    uint16_t port = kDefaultConmonPort;  // 0: the system chooses
    uint16_t version = CONMON_PROTOCOL_VERSION;
    // The AVN device of this computer, as the connect response names it.
    std::string local_device_name = "avn-sim";
    // A client not heard from for this long is forgotten (0: never).
    std::chrono::milliseconds client_timeout{30000};
    // How long a control message to a unit that stops answering waits before
    // its "Timeout" answer when the request names no timeout.
    std::chrono::milliseconds default_delivery_timeout{1000};
    uint32_t seed = 1;  // of the datagram faults' generator
    // A KEEPALIVE from a client that has not connected (to this run of the
    // service) is answered "Invalid State", so that the client connects
    // again at once; when false it is ignored, as every other request from
    // such a client is, and the client only notices at its timeout.
    bool refuse_unknown_keepalive = true;
};

// Which datagrams a loss or corruption fault applies to.
enum class DatagramFlow { ToClients, FromClients };

struct DatagramFaultCounts {
    uint64_t dropped = 0;
    uint64_t corrupted = 0;
};

// What became of a control message that the Domain Manager carried.
enum class RelayedDelivery { Delivered, NotFound, Muted };

// Told of every message a device sends (channel type, the conmon message).
using DeviceObserver =
    std::function<void(const SimDevice& device, uint16_t channel_type, std::span<const uint8_t> message)>;

class ConmonServer {
  public:
    // The devices stay the caller's; they must outlive the server.
    ConmonServer(SimLog& log, ConmonServerSettings settings, std::vector<SimDevice*> devices);
    ~ConmonServer();
    ConmonServer(const ConmonServer&) = delete;
    ConmonServer& operator=(const ConmonServer&) = delete;

    // Binds 127.0.0.1 on the configured port and starts the thread.
    aud_error start();
    // Stops the thread (within about 50 ms) and closes the socket.
    void stop();
    // The bound port (after a successful start).
    uint16_t port() const { return port_; }

    // ---- Faults ----

    // A silent server reads and discards every datagram and sends nothing,
    // as a hung service would; its state is kept.
    void set_silent(bool silent);
    // See ConmonServerSettings::refuse_unknown_keepalive.
    void set_refuse_unknown_keepalive(bool refuse);
    // Every datagram to a client leaves this much later.
    void set_delay(std::chrono::milliseconds delay);
    // As if the service restarted: every client, registration, subscription
    // and queued datagram is forgotten. With a downtime the port is also
    // closed for that long, so clients that send meanwhile find it closed.
    // Returns once the state is gone (and the port closed).
    void restart(std::chrono::milliseconds downtime = std::chrono::milliseconds(0));
    void set_datagram_faults(DatagramFlow flow, const DatagramFaultSettings& settings);
    void drop_next_datagrams(DatagramFlow flow, uint32_t count);
    void corrupt_next_datagrams(DatagramFlow flow, uint32_t count);
    DatagramFaultCounts datagram_fault_counts(DatagramFlow flow) const;
    // A device that stops answering: control messages to it are not
    // delivered and get "Timeout" after the request's timeout, and it sends
    // nothing. False when no device has the name.
    bool set_device_muted(std::string_view name, bool muted);
    // What the device sends leaves this much later.
    bool set_device_reply_delay(std::string_view name, std::chrono::milliseconds delay);

    // ---- State ----

    size_t client_count() const;
    // Whether some client is subscribed to the device's status messages.
    bool status_subscribed(std::string_view device) const;
    std::vector<ConmonClientState> clients() const;
    // The client sending from 127.0.0.1 and this port.
    std::optional<ConmonClientState> client_at_port(uint16_t port) const;
    std::optional<ParameterValues> unit_parameters(std::string_view name) const;
    std::optional<UnitCounters> unit_counters(std::string_view name) const;
    // A change made at the unit itself: taken without a range check and
    // reported to the subscribed clients. False for an unknown unit.
    bool change_unit_parameter(std::string_view name, ParameterId id, int32_t value);
    // ---- The Domain Manager's path to the devices ----

    // A control message (a whole conmon message) that the Domain Manager
    // relays to a device: delivered as a client's would be, and what the
    // device sends goes to the subscribed clients and the observer.
    RelayedDelivery deliver_relayed_control(std::string_view name, std::span<const uint8_t> message);
    // Called with the server's lock held: it must not call back into the server.
    void set_device_observer(DeviceObserver observer);

    // Control messages delivered to a device of any kind.
    std::optional<uint32_t> device_control_messages(std::string_view name) const;

  private:
    struct Outgoing {
        SteadyTime due;
        aud_socket_address address;
        std::vector<uint8_t> datagram;
    };

    aud_error open_socket();
    void run();
    void wait_for_datagrams();
    void read_datagrams();
    void handle_datagram(std::span<uint8_t> datagram, const aud_socket_address& from);
    void handle_request(std::span<const uint8_t> datagram, const conmon_protocol_header& header,
                        const aud_socket_address& from);
    void on_connect(const conmon_protocol_header& header, const conmon_request_fields& fields,
                    const aud_socket_address& from);
    void on_subscribe(ConmonClientState& client, const conmon_protocol_header& header,
                      const conmon_request_fields& fields);
    void on_control(ConmonClientState& client, const conmon_protocol_header& header,
                    const conmon_request_fields& fields);
    void deliver_from_device(SimDevice& device, const DeviceMessage& message);

    void answer(const aud_socket_address& to, const conmon_protocol_header& request,
                uint16_t status, std::chrono::milliseconds after = {});
    void queue(const aud_socket_address& to, std::span<const uint8_t> datagram,
               std::chrono::milliseconds after = {});
    void send_due();
    void send_now(Outgoing& outgoing);
    void expire_clients();
    void close_if_requested();
    void reopen_when_due();

    SimDevice* find_device(std::string_view name) const;
    Tpx2Unit* find_unit(std::string_view name) const;
    DatagramFaults& faults(DatagramFlow flow);
    const DatagramFaults& faults(DatagramFlow flow) const;

    SimLog& log_;
    ConmonServerSettings settings_;  // refuse_unknown_keepalive may change
    const std::vector<SimDevice*> devices_;
    aud_env* env_ = nullptr;

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint16_t> port_{0};

    // Everything below is guarded by the mutex; the socket is opened and
    // closed only on the server's thread once it runs.
    mutable std::mutex mutex_;
    std::condition_variable closed_;
    aud_socket_t socket_ = AUD_SOCKET_INVALID;
    ClientRegistry clients_;
    std::vector<Outgoing> outbox_;
    DatagramFaults faults_to_clients_;
    DatagramFaults faults_from_clients_;
    bool silent_ = false;
    DeviceObserver observer_;
    std::chrono::milliseconds delay_{0};
    bool close_requested_ = false;
    SteadyTime reopen_at_{};
    std::vector<uint8_t> receive_buffer_;
};

}  // namespace sim
