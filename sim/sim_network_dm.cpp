// SimNetwork's Domain Manager, in a build with cpp-httplib and OpenSSL: the
// web side, the connection service whose port login hands out, and, when
// asked, the DNS records by which it is found.
#include "sim/dm/dm_connection_service.h"
#include "sim/dm/dm_dns.h"
#include "sim/dm/dm_relay.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_network.h"

namespace sim {

namespace {

constexpr const char* kDmHostLabel = "avn-dm";

// The devices as the Domain Manager knows them: their adverts (with any TXT
// record the options give) and, for units, their domains.
std::vector<DmRelayDevice> relay_devices(const SimOptions& options,
                                         const std::vector<std::unique_ptr<SimDevice>>& devices) {
    std::vector<DmRelayDevice> known;
    for (const std::unique_ptr<SimDevice>& device : devices) {
        const DeviceIdentity& identity = device->identity();
        DmRelayDevice entry;
        entry.advert.name = identity.name;
        entry.advert.manufacturer_id = identity.manufacturer_id;
        entry.advert.model = identity.model;
        entry.advert.source = identity.source;
        for (const MdnsTxtOverride& txt : options.mdns.txt_overrides) {
            if (device_names_equal(txt.device, identity.name)) {
                entry.advert.conmon_txt = txt.strings;
            }
        }
        for (const Tpx2UnitSettings& unit : options.units) {
            if (device_names_equal(unit.name, identity.name)) {
                entry.domain = unit.domain;
            }
        }
        known.push_back(std::move(entry));
    }
    return known;
}

}  // namespace

void SimNetwork::create_dm() {
    if (!options_.dm.enabled) {
        return;
    }
    dm_ = std::make_shared<DmWebService>(log_, options_.dm);
    dm_service_ = std::make_shared<DmConnectionService>(log_, dm_->tokens());
    if (!options_.dm.domains.empty()) {
        dm_service_->set_domains(options_.dm.domains);
    }
    dm_relay_ = std::make_shared<DmRelay>(
        log_, *conmon_, options_.dm.domains.empty() ? default_dm_domains() : options_.dm.domains,
        relay_devices(options_, devices_));
    std::weak_ptr<DmRelay> relay = dm_relay_;
    dm_service_->set_relay_session_handler([relay](uint64_t connection, const std::string& user,
                                                   std::span<const uint8_t> payload, DmRelayReply reply) {
        if (auto r = relay.lock()) {
            r->handle(connection, user, payload, std::move(reply));
        }
    });
    conmon_->set_device_observer([relay](const SimDevice& device, uint16_t channel_type,
                                         std::span<const uint8_t> message) {
        if (auto r = relay.lock()) {
            r->on_device_message(device, channel_type, message);
        }
    });
    if (options_.dm.dns_port) {
        DmDnsSettings dns;
        dns.port = *options_.dm.dns_port;
        dns.target = "127.0.0.1.";
        dm_dns_ = std::make_shared<DmDns>(log_, dns);
    }
}

aud_error SimNetwork::start_dm() {
    if (!dm_) {
        return AUD_SUCCESS;
    }
    aud_error result = dm_->start();
    if (result != AUD_SUCCESS) {
        return result;
    }
    // The service listens where login sends clients: the given port, the web
    // port + 1, or any free port beside a web port that was itself any.
    const uint16_t web_port = dm_->port();
    const uint16_t service_port = options_.dm.service_port.value_or(
        options_.dm.port == 0 ? uint16_t{0} : static_cast<uint16_t>(web_port + 1));
    const DmCertificate certificate = options_.dm.certificate;
    result = dm_service_->start(service_port, certificate);
    if (result == AUD_SUCCESS) {
        dm_->set_service_port(dm_service_->port());
    }
    if (result == AUD_SUCCESS && dm_dns_) {
        dm_dns_->set_target("127.0.0.1.", web_port);
        result = dm_dns_->start();
    }
    if (result == AUD_SUCCESS && mdns_) {
        mdns_->add_service(dm_mdns_service(kDmHostLabel, web_port));
    }
    if (result != AUD_SUCCESS) {
        stop_dm();
    }
    return result;
}

void SimNetwork::stop_dm() {
    if (dm_dns_) {
        dm_dns_->stop();
    }
    if (dm_service_) {
        dm_service_->stop();
    }
    if (dm_) {
        dm_->stop();
    }
}

}  // namespace sim
