// The simulated Domain Manager's connection service: TLS on 127.0.0.1 at the
// port that login hands out. A client opens with a hello (type 5) and its
// token (type 1); a token that the web side issued (once) gets the domain
// list (type 3), anything else has the connection closed. Keepalives
// (type 6) are answered with a keepalive, relayed messages (type 2) go to
// the relay handler. Every method is thread-safe.
//
//     sim::DmConnectionService service(log, tokens);
//     service.start(0);
//     web.set_service_port(service.port());
//     service.send_update({item}, 3, 3);   // a partial update to every client
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "avn/domain/dm_domain_list.h"
#include "avn/runtime/aud_error.h"
#include "sim/dm/dm_settings.h"
#include "sim/dm/dm_tokens.h"
#include "sim/sim_log.h"

namespace sim {

// Sends a relayed message (type 2) back on the connection it came from.
using DmRelayReply = std::function<void(std::vector<uint8_t> payload)>;
// A relayed message from a logged-in user; runs on the service's thread.
using DmRelayHandler =
    std::function<void(const std::string& user, std::span<const uint8_t> payload, DmRelayReply reply)>;
// The same, told which connection it came from (a number of its own for
// each connection of the service's life): one user may hold several.
using DmRelaySessionHandler = std::function<void(uint64_t connection, const std::string& user,
                                                 std::span<const uint8_t> payload, DmRelayReply reply)>;

// The two domains a Domain Manager offers unless told otherwise.
std::vector<dm_domain_item> default_dm_domains();

class DmConnectionService {
  public:
    DmConnectionService(SimLog& log, DmTokenStore& tokens);
    ~DmConnectionService();
    DmConnectionService(const DmConnectionService&) = delete;
    DmConnectionService& operator=(const DmConnectionService&) = delete;

    // Listens on 127.0.0.1:port (0: any free port) on a thread of its own.
    aud_error start(uint16_t port, DmCertificate certificate = DmCertificate::Server);
    void stop();
    uint16_t port() const;

    // The domains of every full list from now on.
    void set_domains(std::vector<dm_domain_item> domains);
    // To every logged-in client: the full list again, or a partial update.
    void send_full_list();
    void send_update(std::vector<dm_domain_item> items, uint16_t first_id, uint16_t last_id);
    void set_relay_handler(DmRelayHandler handler);
    // Takes the place of the plain handler when set.
    void set_relay_session_handler(DmRelaySessionHandler handler);

    // ---- Faults ----
    // Closes every connection.
    void drop_connections();
    // The next frame to every client carries the client's own sync value.
    void send_bad_sync();
    // Reads on but answers nothing (no list, no keepalive, no relay).
    void set_silent(bool silent);

    // ---- What happened ----
    size_t sessions_accepted() const;
    size_t sessions_logged_in() const;  // tokens accepted
    size_t tokens_refused() const;
    size_t keepalives_received() const;
    size_t relayed_received() const;
    size_t open_sessions() const;

    // The state its connections share (opaque outside the implementation).
    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace sim
