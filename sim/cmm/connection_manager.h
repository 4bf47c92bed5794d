// The simulated connection manager (CMM): the local service that owns the
// computer's AVN system configuration. A UDP service on 127.0.0.1 speaking
// the CMM protocol over DGCP2 (protocol id 0x1001, 20-byte headers) with
// any number of clients: it registers them with CONNECT, offers the
// computer's network interfaces (OPTIONS), reports the configuration in force
// and the attached processes (STATE), applies SET_CONFIG requests in two
// steps ("Changing", then "Ready"), and keeps every client alive with
// keepalives both ways.
//
// It runs on a thread of its own and keeps time on the real monotonic clock
// (never the AVN runtime's clock, which tests may replace). Every public
// operation is thread-safe: tests start it in-process, read its state and
// switch faults on and off while clients talk to it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "avn/domain/cmm_messages.h"
#include "avn/domain/dgcp2_codec.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_format.h"
#include "avn/runtime/socket.h"
#include "sim/cmm/cmm_options.h"

namespace sim {

// A client as its CONNECT registered it.
struct CmmClientInfo {
    uint16_t port = 0;  // the UDP port it sends from on 127.0.0.1
    std::string name;
    uint32_t process_id = 0;
};

// Receives each log line (no time stamp, no newline). It is called on the
// service's thread or the caller's, with the service's lock held: it must
// not call back into the service.
using CmmLogSink = std::function<void(std::string_view line)>;

class ConnectionManager {
  public:
    // Without a sink, lines go to standard output as
    // "HH:MM:SS.mmm avn-sim cmm: TEXT" (UTC time of day).
    explicit ConnectionManager(CmmSettings settings = {}, CmmLogSink log = {});
    ~ConnectionManager();
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    // Binds 127.0.0.1 on the configured port and starts the thread.
    // INVALIDSTATE when running; the socket error when the port cannot be
    // bound.
    aud_error start();
    // Stops the thread (within about 50 ms), closes the socket and forgets
    // every client. It may be started again.
    void stop();
    // The bound port (after a successful start; it stays the same after a
    // stop).
    uint16_t port() const { return port_; }

    void set_quiet(bool quiet) { quiet_ = quiet; }

    // ---- Faults ----

    // A silent service reads and discards every datagram and sends nothing,
    // keepalives included, as a hung service would: clients give up after
    // their 31 s. Its own clock stands still too: a change under way and the
    // forgetting of clients resume when it speaks again.
    void set_silent(bool silent);
    // Every CONNECT is answered with this kind (an error kind such as
    // DGCP2_KIND_SERVER_ERROR) and the client is not registered.
    void set_refusing(bool refuse, uint16_t kind = DGCP2_KIND_SERVER_ERROR);
    // As if the service restarted: every client is forgotten, a change under
    // way is abandoned (the configuration in force stays) and the lock is
    // cleared. Clients learn nothing: their keepalives are answered "Not
    // connected" from then on, so they give up after 31 s and connect again.
    void restart();
    // How long later changes stay "Changing".
    void set_apply_delay(std::chrono::milliseconds delay);
    // How much later each CONNECT from now on is answered.
    void set_connect_delay(std::chrono::milliseconds delay);

    // ---- State ----

    size_t client_count() const;
    // In the order they connected.
    std::vector<CmmClientInfo> clients() const;
    // The system state as it stands, with no process marked as the
    // reader's own.
    cmm_state state() const;
    cmm_options options() const;
    bool lock() const;

  private:
    using SteadyTime = std::chrono::steady_clock::time_point;

    struct Client {
        aud_socket_address address{};
        dgcp2_client_id id{};
        cmm_registration registration{};
        uint16_t seqnum = 0;  // of the next event to it
        SteadyTime last_heard{};
        SteadyTime last_sent{};
    };

    aud_error open_socket();
    void run();
    void wait_for_datagrams();
    void read_datagrams();
    void handle_datagram(std::span<const uint8_t> datagram, const aud_socket_address& from);
    void on_connect(const dgcp2_message& request, const aud_socket_address& from);
    void answer_connects_when_due();
    void on_disconnect(Client& client);
    void on_set_config(Client& client, const dgcp2_message& request);
    void answer_unknown_client(const dgcp2_message& request, const aud_socket_address& from);
    // A rejected configuration: the reason, or none when it can be applied.
    std::optional<std::string> check_config(const cmm_interface_set& set) const;

    void finish_change_when_due();
    void send_keepalives();
    void expire_clients();

    cmm_state state_for(const Client* reader) const;
    void send_state(Client& client);
    void broadcast_state(const Client* except = nullptr);
    void answer_set_config(const dgcp2_message& request, const aud_socket_address& to,
                           uint16_t kind, cmm_state state);
    void send_event(Client& client, dgcp2_message& event);
    void send(const aud_socket_address& to, const dgcp2_message& message);
    Client* find_client(const aud_socket_address& address);
    std::string config_text(const cmm_interface_set& set) const;

    void log(const char* format, ...) AUD_FORMAT_CHECK(2, 3);

    const CmmSettings settings_;
    const CmmLogSink sink_;
    const cmm_options options_;
    aud_env* env_ = nullptr;

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint16_t> port_{0};
    std::atomic<bool> quiet_{false};

    // Everything below is guarded by the mutex. The socket is opened and
    // closed only while the thread is not running.
    mutable std::mutex mutex_;
    aud_socket_t socket_ = AUD_SOCKET_INVALID;
    std::vector<Client> clients_;
    uint16_t status_ = CMM_STATUS_READY;
    cmm_interface_set current_{};
    cmm_interface_set pending_{};
    std::optional<SteadyTime> change_due_;
    bool lock_ = false;
    bool silent_ = false;
    bool refuse_ = false;
    uint16_t refuse_kind_ = DGCP2_KIND_SERVER_ERROR;
    std::chrono::milliseconds apply_delay_;
    std::chrono::milliseconds connect_delay_;
    // CONNECTs held back by the connect delay, oldest first.
    struct DelayedConnect {
        dgcp2_message request{};
        aud_socket_address from{};
        SteadyTime due{};
    };
    std::vector<DelayedConnect> delayed_connects_;
};

}  // namespace sim
