#include "sim/client_registry.h"

#include <algorithm>

#include "sim/sim_device.h"

namespace sim {

bool ConmonClientState::registered(uint16_t channel_type, uint16_t direction) const {
    return std::find(registrations.begin(), registrations.end(),
                     ClientRegistration{channel_type, direction}) != registrations.end();
}

const ClientSubscription* ConmonClientState::subscription(uint16_t channel_type,
                                                          std::string_view device) const {
    for (const ClientSubscription& s : subscriptions) {
        if (s.channel_type == channel_type && device_names_equal(s.device_name, device)) {
            return &s;
        }
    }
    return nullptr;
}

std::string ConmonClientState::address_text() const {
    const uint32_t ip = aud_socket_address_get_ipv4(&address);
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
           std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF) + ":" +
           std::to_string(aud_socket_address_get_port(&address));
}

ConmonClientState* ClientRegistry::find(const aud_socket_address& address) {
    for (ConmonClientState& client : clients_) {
        if (aud_socket_address_equal(&client.address, &address)) {
            return &client;
        }
    }
    return nullptr;
}

ConmonClientState* ClientRegistry::connect(const aud_socket_address& address, std::string name,
                                           uint16_t version, SteadyTime now) {
    ConmonClientState* client = find(address);
    if (client == nullptr) {
        if (clients_.size() >= kMaxClients) {
            return nullptr;
        }
        client = &clients_.emplace_back();
    }
    *client = ConmonClientState{};
    client->address = address;
    client->name = std::move(name);
    client->version = version;
    client->last_heard = now;
    return client;
}

bool ClientRegistry::forget(const aud_socket_address& address) {
    const auto gone = std::remove_if(
        clients_.begin(), clients_.end(),
        [&](const ConmonClientState& c) { return aud_socket_address_equal(&c.address, &address); });
    const bool found = gone != clients_.end();
    clients_.erase(gone, clients_.end());
    return found;
}

void ClientRegistry::add_registration(ConmonClientState& client, ClientRegistration registration) {
    if (!client.registered(registration.channel_type, registration.direction)) {
        client.registrations.push_back(registration);
    }
}

void ClientRegistry::remove_registration(ConmonClientState& client,
                                         ClientRegistration registration) {
    std::erase(client.registrations, registration);
}

const ClientSubscription* ClientRegistry::add_subscription(ConmonClientState& client,
                                                           uint16_t channel_type,
                                                           std::string_view device) {
    if (const ClientSubscription* existing = client.subscription(channel_type, device)) {
        return existing;
    }
    if (client.subscriptions.size() >= kMaxSubscriptions) {
        return nullptr;
    }
    const uint16_t id = client.next_subscription_id++;
    if (client.next_subscription_id == 0) {
        client.next_subscription_id = 1;
    }
    return &client.subscriptions.emplace_back(
        ClientSubscription{id, channel_type, std::string(device)});
}

bool ClientRegistry::remove_subscription(ConmonClientState& client, uint16_t channel_type,
                                         std::string_view device) {
    return std::erase_if(client.subscriptions, [&](const ClientSubscription& s) {
               return s.channel_type == channel_type && device_names_equal(s.device_name, device);
           }) > 0;
}

std::vector<ConmonClientState> ClientRegistry::expire(SteadyTime now,
                                                      std::chrono::milliseconds limit) {
    std::vector<ConmonClientState> expired;
    std::erase_if(clients_, [&](ConmonClientState& c) {
        if (now - c.last_heard < limit) {
            return false;
        }
        expired.push_back(std::move(c));
        return true;
    });
    return expired;
}

}  // namespace sim
