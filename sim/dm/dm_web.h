// The simulated Domain Manager's web side: HTTPS on 127.0.0.1 with a test
// certificate. GET /avnapi answers the JSON array of offered interface
// versions; POST /api/login (v1) and POST /avnapi/v2/login (v2) take the form
// fields "username" and "password" and answer a single-use token and the
// port of the connection service. Every setter is thread-safe and applies to
// the next connection or request.
//
//     sim::DmWebService& dm = *network.dm();
//     dm.set_answer(sim::DmEndpoint::Identify, sim::DmAnswer{200, R"(["x","v2","v1"])"});
//     dm.set_key_change(true);
//     std::optional<std::string> user = dm.tokens().redeem(token);
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "avn/runtime/aud_error.h"
#include "sim/dm/dm_settings.h"
#include "sim/dm/dm_tokens.h"
#include "sim/sim_log.h"

namespace sim {

enum class DmEndpoint { Identify, Login };

class DmWebService {
  public:
    DmWebService(SimLog& log, const DmSettings& settings);
    ~DmWebService();
    DmWebService(const DmWebService&) = delete;
    DmWebService& operator=(const DmWebService&) = delete;

    // Binds the port and serves on a thread of its own (with the closed
    // fault the port is bound once, to learn its number, and closed again).
    aud_error start();
    // Closes the port and drops every token; waits for answers in progress.
    void stop();

    // The web port (the bound one when the settings asked for 0).
    uint16_t port() const;
    // The port that login hands out.
    uint16_t service_port() const;
    // For the connection service once it has bound its own port.
    void set_service_port(uint16_t port);
    // Where the connection service redeems the tokens that login issued.
    DmTokenStore& tokens();

    // ---- Faults and answers ----
    void set_api(DmApi api);
    void set_certificate(DmCertificate certificate);
    // The next TLS connection presents the chosen certificate, every one
    // after it the "other" certificate.
    void set_key_change(bool on);
    // Replaces the endpoint's answer (none: the usual answer again).
    void set_answer(DmEndpoint endpoint, std::optional<DmAnswer> answer);
    void set_delay(std::chrono::milliseconds delay);
    // Closes the port, or binds the same port again.
    aud_error set_closed(bool closed);
    void set_users(std::vector<DmUser> users);

    // ---- What happened ----
    size_t tls_connections() const;  // TLS handshakes begun
    size_t logins_accepted() const;
    size_t logins_refused() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
