// The simulated Domain Manager's relay: what it does with the relayed
// messages (AVN packets) of logged-in users. It resolves device-name lookups
// to the simulated units of the user's domain, carries control messages to
// them and their messages back (as device messages, type 0x2003), keeps the
// users' registrations and subscriptions, answers browse requests with
// device records carrying the units' DNS-SD TXT records, and acknowledges
// domain announcements. A unit outside the user's domain is not found.
//
// Thread-safe: messages arrive on the connection service's thread, unit
// messages on the conmon server's (or a test's) thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "avn/conmon/avn_packet.h"
#include "avn/domain/dm_domain_list.h"
#include "sim/conmon_server.h"
#include "sim/dm/dm_connection_service.h"
#include "sim/mdns_responder.h"
#include "sim/sim_log.h"

namespace sim {

// One device as the Domain Manager knows it.
struct DmRelayDevice {
    MdnsDevice advert;   // its name, ids and TXT records
    std::string domain;  // the domain (by name) it belongs to; empty: none
};

// The node id the relay gives every user's end of a connection, and the
// first of the devices' node ids (one per device, in order).
inline constexpr uint32_t kDmClientNode = 0x7F000001u;
inline constexpr uint32_t kDmFirstDeviceNode = 0x0A000001u;

class DmRelay {
  public:
    DmRelay(SimLog& log, ConmonServer& conmon, std::vector<dm_domain_item> domains,
            std::vector<DmRelayDevice> devices);

    // The connection service's relay handler: each connection is a session
    // of its own, and inside it each listener (the source listener id of the
    // packets) has its own registrations and subscriptions, as several
    // clients of one program share a connection.
    void handle(uint64_t connection, const std::string& user, std::span<const uint8_t> payload,
                DmRelayReply reply);
    // A message a device sent (the conmon server's device observer).
    void on_device_message(const SimDevice& device, uint16_t channel_type,
                           std::span<const uint8_t> conmon_message);

    // ---- Faults ----
    // A control message is not delivered: `drop` runs instead (it closes
    // the connections). The first `pass` control messages go through.
    void drop_on_next_control(std::function<void()> drop, size_t pass = 0);
    // Lookups by name go unanswered (the client's wait runs out).
    void set_lookups_unanswered(bool unanswered);

    // ---- What happened ----
    size_t control_messages() const;
    size_t announcements() const;

  private:
    // What one listener of a session asked for, and the domain it named
    // last (in an announcement, a lookup, a registration or a subscription).
    struct Listener {
        avn_domain_uuid domain{};
        std::set<uint16_t> registered;
        std::set<std::pair<uint16_t, std::string>> subscribed;
    };
    struct Session {
        std::string user;
        DmRelayReply reply;
        std::map<uint16_t, Listener> listeners;  // by listener id
        uint16_t sequence = 0;
    };
    // Sessions of connections long gone are forgotten beyond this many.
    static constexpr size_t kMaxSessions = 64;
    static constexpr size_t kMaxListeners = 256;

    Listener* listener_of(Session& session, uint16_t id);
    void on_request(Session& session, const avn_packet_view& view);
    void on_lookup(Session& session, const avn_packet_view& view);
    void on_control(Session& session, const avn_packet_view& view);
    void on_subscribe(Session& session, const avn_packet_view& view);

    // The packets it sends.
    void send_reply(Session& session, const avn_packet_view& request, uint16_t status,
                    std::span<const uint8_t> data = {}, uint16_t* patch_at = nullptr,
                    std::span<const uint8_t> appended = {});
    std::vector<uint8_t> result_packet(const avn_packet_view* reply_to, avn_packet_address to,
                                       uint16_t sequence, const avn_domain_uuid& domain,
                                       uint32_t request_id, bool final, const DmRelayDevice* device,
                                       uint32_t node);
    void send_device_message(Session& session, uint16_t listener_id, const Listener& listener,
                             const SimDevice& device, uint32_t node, uint16_t channel_type,
                             std::span<const uint8_t> conmon_message);

    const DmRelayDevice* find_device(const avn_domain_uuid& domain, std::string_view name,
                                     uint32_t* node) const;
    std::string domain_name(const avn_domain_uuid& domain) const;

    SimLog& log_;
    ConmonServer& conmon_;
    const std::vector<dm_domain_item> domains_;
    const std::vector<DmRelayDevice> devices_;

    mutable std::mutex mutex_;
    std::map<uint64_t, Session> sessions_;  // by connection
    std::function<void()> drop_;
    size_t drop_pass_ = 0;
    bool lookups_unanswered_ = false;
    size_t control_messages_ = 0;
    size_t announcements_ = 0;
};

}  // namespace sim
