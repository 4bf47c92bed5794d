// The conmon server's clients, keyed by the address they send from: the
// protocol version and name each connected with, the (channel type,
// direction) pairs it registered for and the devices it subscribed to.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "avn/runtime/socket.h"

namespace sim {

using SteadyTime = std::chrono::steady_clock::time_point;

struct ClientRegistration {
    uint16_t channel_type = 0;
    uint16_t direction = 0;

    friend bool operator==(const ClientRegistration&, const ClientRegistration&) = default;
};

struct ClientSubscription {
    uint16_t subscription_id = 0;
    uint16_t channel_type = 0;
    std::string device_name;  // as the client wrote it
};

struct ConmonClientState {
    aud_socket_address address{};
    std::string name;
    uint16_t version = 0;  // of its CONNECT; later answers and events use it
    std::vector<ClientRegistration> registrations;
    std::vector<ClientSubscription> subscriptions;
    uint16_t next_subscription_id = 1;
    SteadyTime last_heard{};

    bool registered(uint16_t channel_type, uint16_t direction) const;
    // Device names match without regard to letter case.
    const ClientSubscription* subscription(uint16_t channel_type, std::string_view device) const;
    // "127.0.0.1:54321"
    std::string address_text() const;
};

class ClientRegistry {
  public:
    // Limits that keep a misbehaving sender from growing the server without
    // bound: clients, and subscriptions per client (the client's own table
    // holds 96).
    static constexpr size_t kMaxClients = 64;
    static constexpr size_t kMaxSubscriptions = 96;

    ConmonClientState* find(const aud_socket_address& address);
    // A fresh state for the address, replacing an earlier one of the same
    // address; null when the table is full.
    ConmonClientState* connect(const aud_socket_address& address, std::string name,
                               uint16_t version, SteadyTime now);
    bool forget(const aud_socket_address& address);
    void clear() { clients_.clear(); }

    // Records a registration (once per pair); removes one.
    static void add_registration(ConmonClientState& client, ClientRegistration registration);
    static void remove_registration(ConmonClientState& client, ClientRegistration registration);
    // The subscription for (channel type, device), made if new. Null when the
    // client has the most subscriptions it may have.
    static const ClientSubscription* add_subscription(ConmonClientState& client,
                                                      uint16_t channel_type,
                                                      std::string_view device);
    static bool remove_subscription(ConmonClientState& client, uint16_t channel_type,
                                    std::string_view device);

    // Forgets the clients not heard from for `limit`; returns them.
    std::vector<ConmonClientState> expire(SteadyTime now, std::chrono::milliseconds limit);

    size_t size() const { return clients_.size(); }
    const std::vector<ConmonClientState>& clients() const { return clients_; }

  private:
    std::vector<ConmonClientState> clients_;
};

}  // namespace sim
