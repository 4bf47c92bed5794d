// The simulated Domain Manager's unicast DNS server: a UDP responder on
// 127.0.0.1 that knows one name, the SRV record of
// "default._avn-dm-c._tcp.<suffix>", and answers it with the configured
// target host and port (and the target's A record as additional data).
// Every other name gets NXDOMAIN; a name it knows asked for another type gets
// an empty answer. Faults: silence (queries are read and dropped), late
// answers (each held for a delay), and the SRV record moved to the additional
// section. Every call is thread-safe.
//
// Also here: the multicast DNS advert of the same service,
// "default._avn-dm-c._tcp.local", for the simulator's DNS-SD responder.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "avn/dnssd/mdns_socket.h"
#include "avn/runtime/aud_error.h"
#include "sim/mdns_responder.h"
#include "sim/sim_log.h"

namespace sim {

// The Domain Manager's DNS-SD service: type and instance.
inline constexpr char kDmServiceType[] = "_avn-dm-c._tcp";
inline constexpr char kDmServiceInstance[] = "default";

enum class DmDnsFault {
    None,
    Silent,  // queries are read and never answered
    Late,    // every answer waits `late_delay` before it goes out
};

struct DmDnsSettings {
    // UDP port on 127.0.0.1; 0: the system chooses (see DmDns::port()).
    uint16_t port = 0;
    // The domain under which the service is known.
    std::string suffix = "avn.test";
    // What the SRV record says: the Domain Manager's host and port.
    std::string target = "dm.avn.test.";
    uint16_t target_port = 8999;
    // The target's IPv4 address (host order) for the additional A record;
    // 0 leaves it out.
    uint32_t target_address = 0x7F000001u;
    DmDnsFault fault = DmDnsFault::None;
    std::chrono::milliseconds late_delay{7000};
    // The SRV record goes into the additional section of the answer rather
    // than the answer section.
    bool srv_in_additional = false;
};

class DmDns {
  public:
    DmDns(SimLog& log, const DmDnsSettings& settings);
    ~DmDns();
    DmDns(const DmDns&) = delete;
    DmDns& operator=(const DmDns&) = delete;

    // Binds 127.0.0.1:port and starts answering; the socket's error when it
    // cannot bind.
    aud_error start();
    // Drops the answers still held back and closes.
    void stop();
    // The port it listens on (after start).
    uint16_t port() const { return port_; }

    // "default._avn-dm-c._tcp." and the suffix: the name it answers.
    static std::string service_name(const std::string& suffix);

    void set_fault(DmDnsFault fault, std::chrono::milliseconds late_delay = {});
    void set_target(const std::string& host, uint16_t port);
    void set_srv_in_additional(bool on);
    // Queries received so far (answered or not), and the names they asked for.
    uint64_t queries_received();
    std::vector<std::string> names_asked();  // the first 1024
    // Waits until at least `count` queries have arrived.
    bool wait_queries(uint64_t count, std::chrono::milliseconds timeout);

  private:
    struct Held {
        std::chrono::steady_clock::time_point due;
        std::vector<uint8_t> bytes;
        uint32_t address = 0;  // host order
        uint16_t port = 0;
    };

    void run();
    void handle(const uint8_t* data, size_t length, uint32_t address, uint16_t port);
    std::vector<uint8_t> answer(const std::vector<uint8_t>& query_bytes, bool* ok);
    void send(const std::vector<uint8_t>& bytes, uint32_t address, uint16_t port);

    SimLog& log_;
    DmDnsSettings settings_;
    std::mutex mutex_;
    std::condition_variable changed_;
    mdns::socket_t socket_ = mdns::kInvalidSocket;
    mdns::SignalPair wake_;
    std::thread thread_;
    uint16_t port_ = 0;
    bool running_ = false;
    bool stopping_ = false;
    std::deque<Held> held_;
    uint64_t queries_ = 0;
    std::vector<std::string> names_;
};

// The multicast DNS advert of the Domain Manager on `host_label`.local at
// `port`: add it with MdnsResponder::add_service.
MdnsService dm_mdns_service(const std::string& host_label, uint16_t port);

}  // namespace sim
