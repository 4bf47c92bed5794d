// The simulated AVN network as one object: its devices and the services that
// stand in for the AVN software on this computer (for now the local conmon
// server, the connection manager, the DNS-SD responder and the Domain
// Manager's web side). The command-line program and in-process tests both use it:
//
//     sim::SimOptions options = sim::options_on_free_ports();
//     options.units = sim::default_units();
//     sim::SimNetwork network(options);
//     network.start();
//     uint16_t port = network.conmon_port();
//     network.conmon().set_device_muted("TPX2-Stage", true);
#pragma once

#include <memory>
#include <vector>

#include "avn/runtime/aud_error.h"
#include "sim/cmm/connection_manager.h"
#include "sim/conmon_server.h"
#include "sim/mdns_responder.h"
#include "sim/sim_device.h"
#include "sim/sim_log.h"
#include "sim/sim_options.h"

namespace sim {

class DmWebService;
class DmConnectionService;
class DmDns;
class DmRelay;

class SimNetwork {
  public:
    explicit SimNetwork(const SimOptions& options);
    ~SimNetwork();
    SimNetwork(const SimNetwork&) = delete;
    SimNetwork& operator=(const SimNetwork&) = delete;

    // Starts the services with the options' faults in force.
    aud_error start();
    void stop();

    uint16_t conmon_port() const { return conmon_->port(); }
    ConmonServer& conmon() { return *conmon_; }
    uint16_t cmm_port() const { return cmm_->port(); }
    ConnectionManager& cmm() { return *cmm_; }
    SimLog& log() { return log_; }
    // The DNS-SD responder; null unless the options enable it.
    MdnsResponder* mdns() { return mdns_.get(); }
    // The Domain Manager's web side; null unless the options enable it.
    DmWebService* dm() { return dm_.get(); }
    // Its connection service (TLS), with the web side.
    DmConnectionService* dm_service() { return dm_service_.get(); }
    // Its unicast DNS server; null unless the options give it a port.
    DmDns* dm_dns() { return dm_dns_.get(); }
    // What it does with relayed messages, with the Domain Manager.
    DmRelay* dm_relay() { return dm_relay_.get(); }
    // In the order of the options: units first, then other devices. Their
    // identities never change; everything else is reached through a service.
    const std::vector<std::unique_ptr<SimDevice>>& devices() const { return devices_; }

  private:
    // The Domain Manager's part, in a file of its own (sim_network_dm.cpp).
    void create_dm();
    aud_error start_dm();
    void stop_dm();

    SimOptions options_;
    SimLog log_;
    std::vector<std::unique_ptr<SimDevice>> devices_;
    std::unique_ptr<ConmonServer> conmon_;
    std::unique_ptr<ConnectionManager> cmm_;
    std::unique_ptr<MdnsResponder> mdns_;
    // Shared so that this header needs only the declaration.
    std::shared_ptr<DmWebService> dm_;
    std::shared_ptr<DmConnectionService> dm_service_;
    std::shared_ptr<DmDns> dm_dns_;
    std::shared_ptr<DmRelay> dm_relay_;
};

}  // namespace sim
