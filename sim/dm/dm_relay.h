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

    // The connection service's relay handler.
    void handle(const std::string& user, std::span<const uint8_t> payload, DmRelayReply reply);
    // A message a device sent (the conmon server's device observer).
    void on_device_message(const SimDevice& device, uint16_t channel_type,
                           std::span<const uint8_t> conmon_message);

    // ---- Faults ----
    // The next control message is not delivered: `drop` runs instead (it
    // closes the connections).
    void drop_on_next_control(std::function<void()> drop);
    // Lookups by name go unanswered (the client's wait runs out).
    void set_lookups_unanswered(bool unanswered);

    // ---- What happened ----
    size_t control_messages() const;
    size_t announcements() const;

  private:
    struct Session {
        DmRelayReply reply;
        avn_domain_uuid domain{};
        uint16_t listener = 0;  // the listener that registered for device messages
        std::set<uint16_t> registered;
        std::set<std::pair<uint16_t, std::string>> subscribed;
        uint16_t sequence = 0;
    };

    void on_request(Session& session, const avn_packet_view& view);
    void on_lookup(Session& session, const avn_packet_view& view);
    void on_control(Session& session, const avn_packet_view& view);
    void on_subscribe(Session& session, const avn_packet_view& view);

    // The packets it sends.
    void send_reply(Session& session, const avn_packet_view& request, uint16_t status,
                    std::span<const uint8_t> data = {}, uint16_t* patch_at = nullptr,
                    std::span<const uint8_t> appended = {});
    std::vector<uint8_t> result_packet(const avn_packet_view* reply_to, avn_packet_address to,
                                       uint16_t sequence, uint32_t request_id, bool final,
                                       const DmRelayDevice* device, uint32_t node);

    const DmRelayDevice* find_device(const avn_domain_uuid& domain, std::string_view name,
                                     uint32_t* node) const;
    std::string domain_name(const avn_domain_uuid& domain) const;

    SimLog& log_;
    ConmonServer& conmon_;
    const std::vector<dm_domain_item> domains_;
    const std::vector<DmRelayDevice> devices_;

    mutable std::mutex mutex_;
    std::map<std::string, Session> sessions_;  // by user
    std::function<void()> drop_;
    bool lookups_unanswered_ = false;
    size_t control_messages_ = 0;
    size_t announcements_ = 0;
};

}  // namespace sim
