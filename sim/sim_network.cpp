#include "sim/sim_network.h"

namespace sim {

namespace {

// Every simulated device sends from this process id; the device id tells
// them apart. Device ids are locally administered: 02 'S' 'I' 'M' and the
// device's number in the last byte (0 is this computer's own device).
constexpr uint16_t kDeviceProcessId = 8800;

conmon_source device_source(size_t number) {
    return conmon_source{{0x02, 'S', 'I', 'M', 0, 0, static_cast<uint8_t>(number >> 8),
                          static_cast<uint8_t>(number)},
                         kDeviceProcessId};
}

// A device's advert, with the odd TXT record the options may give it.
MdnsDevice mdns_device(const SimDevice& device, const MdnsSettings& settings) {
    const DeviceIdentity& identity = device.identity();
    MdnsDevice advert;
    advert.name = identity.name;
    advert.manufacturer_id = identity.manufacturer_id;
    advert.model = identity.model;
    advert.source = identity.source;
    advert.ttl = settings.ttl;
    for (const MdnsTxtOverride& txt : settings.txt_overrides) {
        if (device_names_equal(txt.device, identity.name)) {
            advert.conmon_txt = txt.strings;
        }
    }
    return advert;
}

}  // namespace

SimNetwork::SimNetwork(const SimOptions& options) : options_(options), log_(options.quiet) {
    for (const Tpx2UnitSettings& unit : options_.units) {
        devices_.push_back(
            std::make_unique<Tpx2Unit>(unit, device_source(devices_.size() + 1), log_));
    }
    for (const ForeignDeviceSettings& device : options_.devices) {
        devices_.push_back(
            std::make_unique<ForeignDevice>(device, device_source(devices_.size() + 1), log_));
    }
    std::vector<SimDevice*> served;
    for (const std::unique_ptr<SimDevice>& device : devices_) {
        served.push_back(device.get());
    }
    conmon_ = std::make_unique<ConmonServer>(log_, options_.conmon, std::move(served));
    if (options_.mdns.enabled) {
        mdns_ = std::make_unique<MdnsResponder>(log_, options_.mdns);
        for (const std::unique_ptr<SimDevice>& device : devices_) {
            mdns_->add_device(mdns_device(*device, options_.mdns));
        }
    }
    cmm_ = std::make_unique<ConnectionManager>(options_.cmm, [this](std::string_view line) {
        log_.line("cmm", "%.*s", static_cast<int>(line.size()), line.data());
    });
    create_dm();
}

SimNetwork::~SimNetwork() {
    stop();
}

aud_error SimNetwork::start() {
    for (const std::unique_ptr<SimDevice>& device : devices_) {
        const DeviceIdentity& identity = device->identity();
        log_.line("network", "%s \"%s\": manufacturer \"%s\", model %u", device->kind(),
                  identity.name.c_str(), manufacturer_id_text(identity.manufacturer_id).c_str(),
                  identity.model);
    }
    if (options_.silent) {
        conmon_->set_silent(true);
    }
    for (const std::string& name : options_.muted_devices) {
        conmon_->set_device_muted(name, true);
    }
    if (options_.delay.count() > 0) {
        conmon_->set_delay(options_.delay);
    }
    const DatagramFaultSettings none;
    if (options_.faults_to_clients.drop_fraction != none.drop_fraction ||
        options_.faults_to_clients.corrupt_fraction != none.corrupt_fraction) {
        conmon_->set_datagram_faults(DatagramFlow::ToClients, options_.faults_to_clients);
    }
    if (options_.faults_from_clients.drop_fraction != none.drop_fraction ||
        options_.faults_from_clients.corrupt_fraction != none.corrupt_fraction) {
        conmon_->set_datagram_faults(DatagramFlow::FromClients, options_.faults_from_clients);
    }
    if (const aud_error result = conmon_->start(); result != AUD_SUCCESS) {
        return result;
    }
    aud_error result = cmm_->start();
    if (result == AUD_SUCCESS && mdns_) {
        result = mdns_->start();
        if (result != AUD_SUCCESS) {
            cmm_->stop();
        }
    }
    if (result == AUD_SUCCESS) {
        result = start_dm();
        if (result != AUD_SUCCESS) {
            if (mdns_) {
                mdns_->stop();
            }
            cmm_->stop();
        }
    }
    if (result != AUD_SUCCESS) {
        conmon_->stop();
    }
    return result;
}

void SimNetwork::stop() {
    stop_dm();
    if (mdns_) {
        mdns_->stop();
    }
    cmm_->stop();
    conmon_->stop();
}

}  // namespace sim
