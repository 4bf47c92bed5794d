// The simulator's DNS-SD responder: it advertises each simulated device over
// multicast DNS as a real AVN device does. Per device: the conmon service
// `_netaudio-cmc._udp` (also under the maker's subtype), the media service
// `_netaudio-arc._udp`, their SRV and TXT records, and an A record for the
// device's host name. Beside the devices it advertises other service
// instances given to it (the simulated Domain Manager's). It probes and
// announces new devices, answers queries (known answers respected, split
// known-answer lists waited for), and sends goodbyes when a device goes or
// the responder stops. Every call is thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "avn/conmon/conmon_message.h"
#include "avn/dnssd/mdns_packet.h"
#include "avn/dnssd/mdns_socket.h"
#include "avn/runtime/aud_error.h"
#include "sim/mdns_options.h"
#include "sim/sim_device.h"
#include "sim/sim_log.h"

namespace sim {

inline constexpr uint16_t kConmonServicePort = 8800;
inline constexpr uint16_t kMediaServicePort = 4440;

struct MdnsDevice {
    std::string name;  // the instance name of both services
    ManufacturerId manufacturer_id{};
    uint32_t model = 0;
    conmon_source source{};
    // Replaces the conmon TXT record made from the identity.
    std::optional<std::vector<std::string>> conmon_txt;
    uint32_t ttl = 0;  // 0: the usual lifetimes
};

// A service instance advertised beside the devices (such as the simulated
// Domain Manager's): the PTR record of its type (also listed under
// "_services._dns-sd._udp"), its SRV and TXT records, and an A record of its
// host with the interface's address.
struct MdnsService {
    std::string instance;          // "default"
    std::string type;              // "_avn-dm-c._tcp"
    std::string host_label;        // the SRV target is this label and "local"
    uint16_t port = 0;             // may be 0, as a faulty advert would have it
    std::vector<std::string> txt;  // none: one empty string
    uint32_t ttl = 0;              // 0: the usual lifetimes
};

// The 8-byte id as the subtype label and TXT id text: the bytes as text when
// they are letters, digits, "-" and "_" (not first), else "_" and hex digits.
std::string id_label(const ManufacturerId& id);
// A model number as the 8-byte id whose big-endian value it is.
ManufacturerId model_id(uint32_t model);
// The host label: the device's name with anything but letters, digits and
// "-" made "-".
std::string host_label(const std::string& device_name);
// The TXT strings of the conmon and media adverts.
std::vector<std::string> conmon_txt_strings(const MdnsDevice& device);
std::vector<std::string> media_txt_strings(const MdnsDevice& device);

class MdnsResponder {
  public:
    MdnsResponder(SimLog& log, const MdnsSettings& settings);
    ~MdnsResponder();
    MdnsResponder(const MdnsResponder&) = delete;
    MdnsResponder& operator=(const MdnsResponder&) = delete;

    // Opens the sockets and starts advertising the devices added so far.
    aud_error start();
    // Goodbyes for every device, then closes.
    void stop();

    // A device is probed, then announced. A name already there is replaced.
    void add_device(const MdnsDevice& device);
    // With goodbye: its records are withdrawn at once; without, it only
    // goes silent and the records expire at their peers.
    bool remove_device(const std::string& name, bool goodbye = true);
    std::vector<std::string> device_names();

    // A service is probed and announced as a device is; one of the same
    // instance and type is replaced.
    void add_service(const MdnsService& service);
    bool remove_service(const std::string& instance, const std::string& type, bool goodbye = true);

    // Waits until every device has been announced at least once.
    bool wait_announced(std::chrono::milliseconds timeout);

    uint16_t control_port() const { return control_port_; }
    uint32_t interface_index() const;
    // Queries answered so far (announcements and goodbyes not counted).
    uint64_t answers_sent();
    // For tests of a lossy link: the next `count` answers to multicast
    // queries are lost on the way (made, not sent).
    void lose_next_answers(int count);

  private:
    enum class State { Probing, Announcing, Announced };
    struct Advertised {
        mdns::Record record;
        bool unique = false;
    };
    struct Device {
        MdnsDevice settings;
        std::optional<MdnsService> service;  // set for a service instance, not a device
        std::map<uint32_t, std::vector<Advertised>> records;  // by interface index
        State state = State::Probing;
        int sent = 0;  // probes or announcements so far
        std::chrono::steady_clock::time_point next;
    };
    struct PendingQuery {
        mdns::Message query;  // questions and the known answers gathered
        uint32_t interface_index = 0;
        std::chrono::steady_clock::time_point deadline;
    };

    void run();
    void run_timers(std::chrono::steady_clock::time_point now);
    void handle_datagram(const uint8_t* data, const mdns::Datagram& datagram,
                         std::chrono::steady_clock::time_point now);
    bool response_within_budget(uint32_t source, std::chrono::steady_clock::time_point now);
    bool may_answer(uint32_t interface_index, const mdns::Record& record);
    void answer(const mdns::Message& query, const mdns::Interface& netif,
                const mdns::Datagram* legacy_source);
    void send_records(const mdns::Interface& netif, const std::vector<mdns::Record>& answers,
                      const std::vector<std::vector<mdns::Record>>& additionals, uint16_t id,
                      const std::vector<mdns::Question>& questions, uint32_t address,
                      uint16_t port);
    void send_goodbyes(const Device& device);
    bool own_probe(const mdns::Message& probe, uint32_t interface_index);
    void handle_control();
    std::string control_command(const std::string& text);
    std::vector<Advertised> make_records(const MdnsDevice& device,
                                         const mdns::Interface& netif) const;
    std::vector<Advertised> make_service_records(const MdnsService& service,
                                                 const mdns::Interface& netif) const;
    std::vector<Advertised> records_for(const Device& device, const mdns::Interface& netif) const;
    static std::string service_key(const std::string& instance, const std::string& type);
    const mdns::Interface* served(uint32_t index) const;
    void add_device_locked(const MdnsDevice& device);
    const std::vector<Advertised>& records_of(const Device& device, uint32_t interface_index);
    void rebuild_index();

    SimLog& log_;
    MdnsSettings settings_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<mdns::Interface> interfaces_;
    mdns::socket_t socket_ = mdns::kInvalidSocket;
    mdns::socket_t control_ = mdns::kInvalidSocket;
    uint16_t control_port_ = 0;
    mdns::SignalPair wake_;
    std::thread thread_;
    bool running_ = false;
    bool stopping_ = false;
    // Per interface index, the devices by name, and the service instances
    // by their service_key.
    std::map<std::string, Device> devices_;
    std::map<std::pair<uint32_t, uint16_t>, PendingQuery> pending_;  // by source address/port
    uint64_t answers_sent_ = 0;
    // Every advertised record by its lower-case name (per interface index),
    // rebuilt when the devices change.
    std::multimap<std::pair<uint32_t, mdns::Name>, std::pair<const Device*, const Advertised*>>
        index_;
    bool index_dirty_ = true;
    // Per sender: responses it may still have read, and when that was set.
    std::map<uint32_t, std::pair<double, std::chrono::steady_clock::time_point>> response_budgets_;
    // When each record was last multicast in answer, per interface.
    std::map<std::pair<uint32_t, std::string>, std::chrono::steady_clock::time_point> answer_times_;
    uint16_t next_control_number_ = 0;
    int answers_to_lose_ = 0;
    std::minstd_rand random_{std::random_device{}()};
};

}  // namespace sim
