#include "sim/dm/dm_relay.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "avn/runtime/byte_order.h"

namespace sim {

namespace {

constexpr const char* kRelay = "dm-relay";

enum : uint16_t {
    kControl = 0x2002,
    kDevice = 0x2003,
    kLookup = 0x2009,
    kLookupCancel = 0x200A,
    kLookupResult = 0x200B,
    kRegister = 0x2010,
    kSubscribe = 0x2011,
    kAnnounce = 0x2012,
};

constexpr uint16_t kStatusOk = 0;
constexpr uint16_t kStatusFailed = 1;
constexpr uint16_t kStatusBadData = 5;

constexpr size_t kBufferSize = 4096;

std::vector<uint8_t> txt_record(const std::vector<std::string>& strings) {
    std::vector<uint8_t> bytes;
    for (const std::string& s : strings) {
        const size_t length = std::min<size_t>(s.size(), 255);
        bytes.push_back(static_cast<uint8_t>(length));
        bytes.insert(bytes.end(), s.begin(), s.begin() + static_cast<ptrdiff_t>(length));
    }
    return bytes;
}

std::string text_at(const avn_packet_view& view, uint16_t offset) {
    const char* text = nullptr;
    return avn_packet_text(view, offset, 32, &text) ? std::string(text) : std::string();
}

uint16_t next(uint16_t& counter) {
    if (++counter == 0) {
        counter = 1;
    }
    return counter;
}

void put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
    byte_order::store_be16(out.data() + at, value);
}

// A device record with an information block (host name, address, state)
// and the conmon and media services with the adverts' TXT records.
aud_error append_device_record(avn_packet_builder* builder, const DmRelayDevice& device,
                               uint32_t node, uint16_t* offset) {
    uint16_t name = 0, host = 0, address = 0, cmc_type = 0, arc_type = 0, cmc_txt = 0, arc_txt = 0;
    const std::string host_name = host_label(device.advert.name) + ".local";
    const std::vector<uint8_t> cmc = txt_record(conmon_txt_strings(device.advert));
    const std::vector<uint8_t> arc = txt_record(media_txt_strings(device.advert));
    uint8_t node_bytes[6];
    byte_order::store_be16(node_bytes, static_cast<uint16_t>(node >> 16));
    byte_order::store_be16(node_bytes + 2, static_cast<uint16_t>(node & 0xFFFF));
    byte_order::store_be16(node_bytes + 4, 0);
    aud_error result = avn_packet_append_text(builder, device.advert.name.c_str(), &name);
    if (result == AUD_SUCCESS)
        result = avn_packet_append_text(builder, host_name.c_str(), &host);
    if (result == AUD_SUCCESS)
        result = avn_packet_append(builder, node_bytes, &address);
    if (result == AUD_SUCCESS)
        result = avn_packet_append_text(builder, "_netaudio-cmc._udp", &cmc_type);
    if (result == AUD_SUCCESS)
        result = avn_packet_append_text(builder, "_netaudio-arc._udp", &arc_type);
    if (result == AUD_SUCCESS)
        result = avn_packet_append(builder, cmc, &cmc_txt);
    if (result == AUD_SUCCESS)
        result = avn_packet_append(builder, arc, &arc_txt);
    // Information block: host name, address and state (1: reachable).
    std::vector<uint8_t> info(12, 0);
    put16(info, 0, 0x01 | 0x08 | 0x10);
    put16(info, 2, host);
    put16(info, 8, address);
    info[11] = 1;
    uint16_t info_offset = 0, cmc_entry = 0, arc_entry = 0, list = 0;
    if (result == AUD_SUCCESS)
        result = avn_packet_append(builder, info, &info_offset);
    std::vector<uint8_t> entry(12, 0);
    put16(entry, 0, 0x7);
    put16(entry, 2, cmc_type);
    put16(entry, 4, cmc_txt);
    put16(entry, 6, static_cast<uint16_t>(cmc.size()));
    put16(entry, 8, kConmonServicePort);
    if (result == AUD_SUCCESS)
        result = avn_packet_append(builder, entry, &cmc_entry);
    put16(entry, 2, arc_type);
    put16(entry, 4, arc_txt);
    put16(entry, 6, static_cast<uint16_t>(arc.size()));
    put16(entry, 8, kMediaServicePort);
    if (result == AUD_SUCCESS)
        result = avn_packet_append(builder, entry, &arc_entry);
    std::vector<uint8_t> services(8, 0);
    put16(services, 0, 2);
    put16(services, 4, cmc_entry);
    put16(services, 6, arc_entry);
    if (result == AUD_SUCCESS)
        result = avn_packet_append(builder, services, &list);
    std::vector<uint8_t> record(8, 0);
    put16(record, 0, name);
    put16(record, 2, 0x3);
    put16(record, 4, info_offset);
    put16(record, 6, list);
    if (result == AUD_SUCCESS)
        result = avn_packet_append(builder, record, offset);
    return result;
}

}  // namespace

DmRelay::DmRelay(SimLog& log, ConmonServer& conmon, std::vector<dm_domain_item> domains,
                 std::vector<DmRelayDevice> devices)
    : log_(log), conmon_(conmon), domains_(std::move(domains)), devices_(std::move(devices)) {}

void DmRelay::drop_on_next_control(std::function<void()> drop, size_t pass) {
    const std::lock_guard lock(mutex_);
    drop_ = std::move(drop);
    drop_pass_ = pass;
}

void DmRelay::set_lookups_unanswered(bool unanswered) {
    const std::lock_guard lock(mutex_);
    lookups_unanswered_ = unanswered;
}

size_t DmRelay::control_messages() const {
    const std::lock_guard lock(mutex_);
    return control_messages_;
}

size_t DmRelay::announcements() const {
    const std::lock_guard lock(mutex_);
    return announcements_;
}

std::string DmRelay::domain_name(const avn_domain_uuid& domain) const {
    for (const dm_domain_item& item : domains_) {
        if (item.uuid && item.name && avn_domain_uuid_compare(&*item.uuid, &domain) == 0) {
            return *item.name;
        }
    }
    return {};
}

const DmRelayDevice* DmRelay::find_device(const avn_domain_uuid& domain, std::string_view name,
                                          uint32_t* node) const {
    const std::string in_domain = domain_name(domain);
    for (size_t i = 0; i < devices_.size(); ++i) {
        const DmRelayDevice& device = devices_[i];
        if (!in_domain.empty() && device.domain == in_domain &&
            (name.empty() || device_names_equal(device.advert.name, name))) {
            if (node != nullptr) {
                *node = kDmFirstDeviceNode + static_cast<uint32_t>(i);
            }
            return &device;
        }
    }
    return nullptr;
}

DmRelay::Listener* DmRelay::listener_of(Session& session, uint16_t id) {
    if (session.listeners.size() >= kMaxListeners && session.listeners.count(id) == 0) {
        return nullptr;
    }
    return &session.listeners[id];
}

void DmRelay::handle(uint64_t connection, const std::string& user, std::span<const uint8_t> payload,
                     DmRelayReply reply) {
    avn_packet_view view;
    if (avn_packet_read(payload, &view) != AUD_SUCCESS || !view.has_source ||
        !view.has_destination) {
        log_.line(kRelay, "%s: unreadable packet of %zu bytes dropped", user.c_str(),
                  payload.size());
        return;
    }
    if (view.kind != AVN_PACKET_KIND_REQUEST) {
        return;  // acknowledgements of device messages and results
    }
    // The user's end of the connection is one node; replies go back to it.
    view.source.node = kDmClientNode;
    Session* session = nullptr;
    {
        const std::lock_guard lock(mutex_);
        session = &sessions_[connection];  // map entries stay where they are
        session->user = user;
        session->reply = std::move(reply);
        // The oldest connections' sessions go first; their replies lead
        // nowhere once the connection is closed.
        while (sessions_.size() > kMaxSessions && sessions_.begin()->first != connection) {
            sessions_.erase(sessions_.begin());
        }
        if (view.type != kControl) {
            on_request(*session, view);
            return;
        }
    }
    on_control(*session, view);  // delivers to the unit without the relay's lock
}

void DmRelay::on_request(Session& session, const avn_packet_view& view) {
    const std::span<const uint8_t> data = avn_packet_data(view);
    Listener* listener = listener_of(session, view.source.listener);
    if (listener == nullptr) {
        send_reply(session, view, kStatusFailed);
        return;
    }
    switch (view.type) {
        case kAnnounce:
            if (data.size() >= AVN_DOMAIN_UUID_SIZE) {
                std::memcpy(listener->domain.bytes, data.data(), AVN_DOMAIN_UUID_SIZE);
                ++announcements_;
                log_.line(kRelay, "domain announced: \"%s\"",
                          domain_name(listener->domain).c_str());
            }
            send_reply(session, view, kStatusOk);
            return;
        case kLookup:
            if (data.size() >= AVN_DOMAIN_UUID_SIZE) {
                std::memcpy(listener->domain.bytes, data.data(), AVN_DOMAIN_UUID_SIZE);
            }
            on_lookup(session, view);
            return;
        case kLookupCancel:
            return;  // results are sent at once: nothing is left to cancel
        case kRegister:
            if (data.size() < 32) {
                send_reply(session, view, kStatusBadData);
                return;
            }
            std::memcpy(listener->domain.bytes, data.data() + 8, AVN_DOMAIN_UUID_SIZE);
            if (byte_order::load_be16(data.data()) != 0) {
                listener->registered.insert(byte_order::load_be16(data.data() + 2));
            } else {
                listener->registered.erase(byte_order::load_be16(data.data() + 2));
            }
            send_reply(session, view, kStatusOk);
            return;
        case kSubscribe:
            on_subscribe(session, view);
            return;
        default:
            send_reply(session, view, 2);
            return;
    }
}

void DmRelay::on_lookup(Session& session, const avn_packet_view& view) {
    const std::span<const uint8_t> data = avn_packet_data(view);
    if (data.size() < 32) {
        send_reply(session, view, kStatusBadData);
        return;
    }
    avn_domain_uuid domain;
    std::memcpy(domain.bytes, data.data(), AVN_DOMAIN_UUID_SIZE);
    const uint32_t request_id = byte_order::load_be32(data.data() + 16);
    const uint16_t flags = byte_order::load_be16(data.data() + 22);
    if (flags & 0x2) {
        if (lookups_unanswered_) {
            return;
        }
        const std::string name = text_at(view, byte_order::load_be16(data.data() + 24));
        uint32_t node = 0;
        const DmRelayDevice* device = find_device(domain, name, &node);
        log_.line(kRelay, "lookup of \"%s\" in \"%s\": %s", name.c_str(),
                  domain_name(domain).c_str(), device != nullptr ? "found" : "not found");
        session.reply(result_packet(&view, view.source, view.sequence, domain, request_id, true,
                                    device, node));
        return;
    }
    // A browse: every device of the domain (of the maker, if asked), each
    // in a result of its own; the request stays open.
    std::array<uint8_t, 8> maker{};
    const bool filtered = (flags & 0x1) != 0;
    if (filtered) {
        const std::span<const uint8_t> id =
            avn_packet_at(view, byte_order::load_be16(data.data() + 26), 8);
        if (id.empty()) {
            send_reply(session, view, kStatusBadData);
            return;
        }
        std::memcpy(maker.data(), id.data(), 8);
    }
    session.reply(
        result_packet(&view, view.source, view.sequence, domain, request_id, false, nullptr, 0));
    const std::string in_domain = domain_name(domain);
    size_t sent = 0;
    for (size_t i = 0; i < devices_.size(); ++i) {
        const DmRelayDevice& device = devices_[i];
        if (in_domain.empty() || device.domain != in_domain ||
            (filtered && std::memcmp(maker.data(), device.advert.manufacturer_id.data(), 8) != 0)) {
            continue;
        }
        session.reply(result_packet(nullptr, view.source, next(session.sequence), domain,
                                    request_id, false, &device,
                                    kDmFirstDeviceNode + static_cast<uint32_t>(i)));
        ++sent;
    }
    log_.line(kRelay, "browse of \"%s\": %zu device(s)", in_domain.c_str(), sent);
}

std::vector<uint8_t> DmRelay::result_packet(const avn_packet_view* reply_to, avn_packet_address to,
                                            uint16_t sequence, const avn_domain_uuid& domain,
                                            uint32_t request_id, bool final,
                                            const DmRelayDevice* device, uint32_t node) {
    std::vector<uint8_t> buffer(kBufferSize);
    avn_packet_builder builder;
    aud_error result = reply_to != nullptr
                           ? avn_packet_begin_reply(&builder, buffer, *reply_to, kStatusOk)
                           : avn_packet_begin(&builder, buffer, AVN_PACKET_KIND_REQUEST, to,
                                              {AVN_PACKET_NODE_DOMAIN_MANAGER, 0});
    if (result == AUD_SUCCESS && reply_to == nullptr) {
        result = avn_packet_add_chunk(&builder, kLookupResult, sequence, 0);
    }
    // A result names the domain it answers for: the one asked about.
    std::array<uint8_t, 24> data{};
    std::memcpy(data.data(), domain.bytes, AVN_DOMAIN_UUID_SIZE);
    byte_order::store_be32(data.data() + 16, request_id);
    byte_order::store_be16(data.data() + 20,
                           static_cast<uint16_t>((final ? 0x1 : 0) | (device ? 0x2 : 0)));
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_data(&builder, data);
    }
    if (result == AUD_SUCCESS && device != nullptr) {
        uint16_t offset = 0;
        result = append_device_record(&builder, *device, node, &offset);
        avn_packet_patch16(&builder, 22, offset);
    }
    if (result != AUD_SUCCESS) {
        return {};
    }
    const std::span<uint8_t> packet = avn_packet_finish(&builder);
    return {packet.begin(), packet.end()};
}

void DmRelay::on_subscribe(Session& session, const avn_packet_view& view) {
    const std::span<const uint8_t> data = avn_packet_data(view);
    if (data.size() < 36) {
        send_reply(session, view, kStatusBadData);
        return;
    }
    const uint16_t channel = byte_order::load_be16(data.data() + 4);
    const std::string name = text_at(view, byte_order::load_be16(data.data() + 8));
    avn_domain_uuid domain;
    std::memcpy(domain.bytes, data.data() + 12, AVN_DOMAIN_UUID_SIZE);
    uint32_t node = 0;
    const DmRelayDevice* device = find_device(domain, name, &node);
    if (device == nullptr) {
        log_.line(kRelay, "subscription to \"%s\": not in the domain", name.c_str());
        send_reply(session, view, kStatusFailed);
        return;
    }
    Listener* listener = listener_of(session, view.source.listener);
    if (listener == nullptr) {
        send_reply(session, view, kStatusFailed);
        return;
    }
    listener->domain = domain;
    listener->subscribed.insert({channel, device->advert.name});
    // The subscription record: id, channel, name, domain, the device's id
    // as its receive address, and both status bytes valid.
    std::vector<uint8_t> record(48, 0);
    put16(record, 0, static_cast<uint16_t>(listener->subscribed.size()));
    put16(record, 2, channel);
    std::memcpy(record.data() + 8, domain.bytes, AVN_DOMAIN_UUID_SIZE);
    std::memcpy(record.data() + 28, device->advert.source.device_id, 8);
    byte_order::store_be32(record.data() + 40, 0x3);
    record[44] = 1;
    record[45] = 1;
    std::vector<uint8_t> name_bytes(device->advert.name.begin(), device->advert.name.end());
    name_bytes.push_back(0);
    uint16_t patch = 6;
    send_reply(session, view, kStatusOk, record, &patch, name_bytes);
    log_.line(kRelay, "subscribed to the %s messages of \"%s\"", conmon_channel_type_name(channel),
              device->advert.name.c_str());
}

void DmRelay::send_reply(Session& session, const avn_packet_view& request, uint16_t status,
                         std::span<const uint8_t> data, uint16_t* patch_at,
                         std::span<const uint8_t> appended) {
    std::vector<uint8_t> buffer(kBufferSize);
    avn_packet_builder builder;
    aud_error result = avn_packet_begin_reply(&builder, buffer, request, status);
    if (result == AUD_SUCCESS && !data.empty()) {
        result = avn_packet_add_data(&builder, data);
    }
    if (result == AUD_SUCCESS && !appended.empty()) {
        uint16_t offset = 0;
        result = avn_packet_append(&builder, appended, &offset);
        if (patch_at != nullptr) {
            avn_packet_patch16(&builder, *patch_at, offset);
        }
    }
    if (result == AUD_SUCCESS && session.reply) {
        const std::span<uint8_t> packet = avn_packet_finish(&builder);
        session.reply({packet.begin(), packet.end()});
    }
}

void DmRelay::on_control(Session& target, const avn_packet_view& view) {
    std::function<void()> drop;
    std::string name;
    Session* session = &target;
    {
        const std::lock_guard lock(mutex_);
        ++control_messages_;
        if (drop_ && drop_pass_ > 0) {
            --drop_pass_;
        } else {
            drop = std::exchange(drop_, nullptr);
        }
        // The device must be in the domain the sending listener works in.
        const auto listener = session->listeners.find(view.source.listener);
        const std::string domain = listener != session->listeners.end()
                                       ? domain_name(listener->second.domain)
                                       : std::string();
        const size_t index = view.destination.node - kDmFirstDeviceNode;
        if (view.destination.node >= kDmFirstDeviceNode && index < devices_.size() &&
            !domain.empty() && devices_[index].domain == domain) {
            name = devices_[index].advert.name;
        }
    }
    if (drop) {
        log_.line(kRelay, "control message not delivered: dropping the connections");
        drop();
        return;
    }
    const std::span<const uint8_t> data = avn_packet_data(view);
    std::span<const uint8_t> message;
    if (data.size() >= 12) {
        const uint16_t length = byte_order::load_be16(data.data());
        message = avn_packet_at(view, byte_order::load_be16(data.data() + 2), length);
    }
    uint16_t status = kStatusOk;
    if (message.empty() || !conmon_message_is_valid(message)) {
        status = kStatusBadData;
    } else if (name.empty()) {
        log_.line(kRelay, "control message to node 0x%08x: no such device in the domain",
                  view.destination.node);
        status = kStatusFailed;
    } else if (conmon_.deliver_relayed_control(name, message) != RelayedDelivery::Delivered) {
        status = kStatusFailed;
    }
    const std::lock_guard lock(mutex_);
    send_reply(*session, view, status);
}

void DmRelay::on_device_message(const SimDevice& device, uint16_t channel_type,
                                std::span<const uint8_t> conmon_message) {
    const std::lock_guard lock(mutex_);
    uint32_t node = 0;
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (device_names_equal(devices_[i].advert.name, device.name())) {
            node = kDmFirstDeviceNode + static_cast<uint32_t>(i);
        }
    }
    for (auto& [connection, session] : sessions_) {
        if (!session.reply) {
            continue;
        }
        for (auto& [id, listener] : session.listeners) {
            send_device_message(session, id, listener, device, node, channel_type, conmon_message);
        }
    }
}

// To one listener that registered for the channel type and subscribed to the
// device.
void DmRelay::send_device_message(Session& session, uint16_t listener_id, const Listener& listener,
                                  const SimDevice& device, uint32_t node, uint16_t channel_type,
                                  std::span<const uint8_t> conmon_message) {
    if (listener.registered.count(channel_type) == 0) {
        return;
    }
    bool subscribed = false;
    for (const auto& [channel, name] : listener.subscribed) {
        subscribed |= channel == channel_type && device_names_equal(name, device.name());
    }
    if (!subscribed) {
        return;
    }
    std::vector<uint8_t> buffer(kBufferSize);
    avn_packet_builder builder;
    aud_error result = avn_packet_begin(&builder, buffer, AVN_PACKET_KIND_REQUEST,
                                        {kDmClientNode, listener_id}, {node, 0});
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_chunk(&builder, kDevice, next(session.sequence), 0);
    }
    std::array<uint8_t, 8> data{};
    byte_order::store_be16(data.data() + 4, channel_type);
    if (result == AUD_SUCCESS) {
        result = avn_packet_add_data(&builder, data);
    }
    uint16_t offset = 0;
    if (result == AUD_SUCCESS) {
        result = avn_packet_append(&builder, conmon_message, &offset);
        avn_packet_patch16(&builder, 2, offset);
    }
    if (result == AUD_SUCCESS) {
        result = avn_packet_append_text(&builder, device.name().c_str(), &offset);
        avn_packet_patch16(&builder, 6, offset);
    }
    if (result == AUD_SUCCESS) {
        const std::span<uint8_t> packet = avn_packet_finish(&builder);
        session.reply({packet.begin(), packet.end()});
    }
}

}  // namespace sim
