#include "sim/conmon_server.h"

#include <algorithm>

#include "avn/runtime/byte_order.h"
#include "sim/loopback_udp.h"

namespace sim {

namespace {

using std::chrono::milliseconds;

// The server wakes at least this often to send what is due and to notice a
// stop request.
constexpr milliseconds kPollSlice{50};
// Datagrams read in one pass before queued answers go out.
constexpr int kReadsPerPass = 64;
// Large enough for any UDP datagram, so nothing arrives cut short.
constexpr size_t kReceiveBufferSize = 65536;
constexpr size_t kConnectResponseSize = 512;
// Where the records of a subscription answer and the message of a named
// message event begin.
constexpr size_t kSubscriptionRecordsOffset = 16;
constexpr size_t kNamedMessageOffset = 48;
// A unit that stops answering is given up after at most this long.
constexpr milliseconds kLongestDeliveryTimeout{60000};
constexpr milliseconds kLongestRestartWait{2000};
constexpr milliseconds kReopenRetry{500};
// The interface the connect response describes: the loopback interface.
constexpr uint32_t kLoopbackInterfaceIndex = 1;
constexpr uint32_t kLoopbackNetmask = 0xFF000000;
constexpr uint32_t kLinkSpeedMbits = 1000;
// The computer's own AVN device, as the simulated service describes it.
constexpr uint8_t kLocalDeviceId[CONMON_DEVICE_ID_SIZE] = {0x02, 'S', 'I', 'M', 0, 0, 0, 0};

SteadyTime now() {
    return std::chrono::steady_clock::now();
}

uint32_t network_order(uint32_t host) {
    uint32_t network = 0;
    byte_order::store_be32(reinterpret_cast<uint8_t*>(&network), host);
    return network;
}

bool wants_answer(const conmon_protocol_header& request) {
    return (request.status & CONMON_STATUS_NO_RESPONSE) != CONMON_STATUS_NO_RESPONSE;
}

const char* opcode_name(uint16_t opcode) {
    switch (opcode) {
        case CONMON_OPCODE_KEEPALIVE:
            return "KEEPALIVE";
        case CONMON_OPCODE_CONNECT:
            return "CONNECT";
        case CONMON_OPCODE_DISCONNECT:
            return "DISCONNECT";
        case CONMON_OPCODE_REGISTER:
            return "REGISTER";
        case CONMON_OPCODE_UNREGISTER:
            return "UNREGISTER";
        case CONMON_OPCODE_SUBSCRIBE:
            return "SUBSCRIBE";
        case CONMON_OPCODE_UNSUBSCRIBE:
            return "UNSUBSCRIBE";
        case CONMON_OPCODE_CLEAR_REMOTE:
            return "CLEAR_REMOTE";
        case CONMON_OPCODE_CONTROL:
            return "CONTROL";
        default:
            return "request";
    }
}

std::string address_text(const aud_socket_address& address) {
    ConmonClientState client;
    client.address = address;
    return client.address_text();
}

const char* flow_name(DatagramFlow flow) {
    return flow == DatagramFlow::ToClients ? "to clients" : "from clients";
}

milliseconds request_timeout(const conmon_request_fields& fields, milliseconds fallback) {
    const milliseconds asked = std::chrono::seconds(fields.timeout_seconds) +
                               std::chrono::duration_cast<milliseconds>(
                                   std::chrono::microseconds(fields.timeout_microseconds));
    if (asked.count() == 0) {
        return fallback;
    }
    return std::min(asked, kLongestDeliveryTimeout);
}

}  // namespace

ConmonServer::ConmonServer(SimLog& log, ConmonServerSettings settings,
                           std::vector<SimDevice*> devices)
    : log_(log),
      settings_(std::move(settings)),
      devices_(std::move(devices)),
      faults_to_clients_(settings_.seed),
      faults_from_clients_(settings_.seed + 1),
      receive_buffer_(kReceiveBufferSize) {}

ConmonServer::~ConmonServer() {
    stop();
}

aud_error ConmonServer::start() {
    if (thread_.joinable()) {
        return AUD_ERR_INVALIDSTATE;
    }
    aud_error error = aud_env_acquire(&env_);
    if (error != AUD_SUCCESS) {
        return error;
    }
    error = open_socket();
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        log_.line("conmon", "cannot listen on 127.0.0.1:%u: %s", settings_.port,
                  aud_error_format(error, text, sizeof text));
        aud_env_release(env_);
        env_ = nullptr;
        return error;
    }
    log_.line("conmon", "listening on 127.0.0.1:%u (protocol version 0x%04x, %zu devices)",
              port_.load(), settings_.version, devices_.size());
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return AUD_SUCCESS;
}

void ConmonServer::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        thread_.join();
        log_.line("conmon", "stopped");
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    aud_socket_close(&socket_);
    if (env_ != nullptr) {
        aud_env_release(env_);
        env_ = nullptr;
    }
}

aud_error ConmonServer::open_socket() {
    aud_socket_t socket = AUD_SOCKET_INVALID;
    // After a restart the service comes back on the port it had.
    const uint16_t port = port_ != 0 ? port_.load() : settings_.port;
    uint16_t bound_port = 0;
    if (const aud_error error = open_loopback_udp(port, &socket, &bound_port); error != AUD_SUCCESS) {
        return error;
    }
    port_ = bound_port;
    socket_ = socket;
    return AUD_SUCCESS;
}

// ---- The server's thread ----

void ConmonServer::run() {
    while (!stopping_) {
        wait_for_datagrams();
        const std::lock_guard<std::mutex> lock(mutex_);
        close_if_requested();
        reopen_when_due();
        read_datagrams();
        send_due();
        expire_clients();
    }
}

void ConmonServer::wait_for_datagrams() {
    milliseconds wait = kPollSlice;
    aud_socket_t socket = AUD_SOCKET_INVALID;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        socket = socket_;
        const SteadyTime at = now();
        for (const Outgoing& outgoing : outbox_) {
            wait = std::min(wait, std::chrono::ceil<milliseconds>(
                                      std::max(outgoing.due - at, SteadyTime::duration{})));
        }
    }
    if (socket == AUD_SOCKET_INVALID) {
        std::this_thread::sleep_for(wait);
        return;
    }
    // Only this thread closes the socket, so it stays valid while waiting.
    const aud_time timeout = aud_time_from_milliseconds(wait.count());
    aud_socket_wait_readable(socket, &timeout);
}

void ConmonServer::read_datagrams() {
    if (socket_ == AUD_SOCKET_INVALID) {
        return;
    }
    read_waiting_datagrams(socket_, receive_buffer_, kReadsPerPass,
                           [this](std::span<uint8_t> datagram, const aud_socket_address& from) {
                               handle_datagram(datagram, from);
                           });
}

void ConmonServer::handle_datagram(std::span<uint8_t> datagram, const aud_socket_address& from) {
    switch (faults_from_clients_.decide()) {
        case FaultAction::Drop:
            log_.line("fault", "dropped a %zu-byte datagram from %s", datagram.size(),
                      address_text(from).c_str());
            return;
        case FaultAction::Corrupt:
            corrupt_datagram(datagram);
            log_.line("fault", "corrupted a %zu-byte datagram from %s", datagram.size(),
                      address_text(from).c_str());
            break;
        case FaultAction::Pass:
            break;
    }
    if (silent_) {
        return;
    }
    conmon_protocol_header header;
    if (!conmon_protocol_read_header(datagram, &header)) {
        log_.line("conmon", "ignored a %zu-byte datagram from %s: shorter than a header",
                  datagram.size(), address_text(from).c_str());
        return;
    }
    const uint16_t fault = conmon_protocol_validate(datagram);
    const bool request = conmon_protocol_kind(header.status) == CONMON_STATUS_REQUEST;
    if (fault != 0) {
        log_.line("conmon", "invalid %s (opcode 0x%03x) from %s: %s", opcode_name(header.opcode),
                  header.opcode, address_text(from).c_str(), conmon_status_name(fault));
        // A request is told what was wrong with it, in a version the client
        // can read even when its own was out of range.
        if (request && header.opcode != CONMON_OPCODE_DISCONNECT) {
            conmon_protocol_header answered = header;
            if (fault == CONMON_STATUS_INVALID_VERSION) {
                answered.version = settings_.version;
            }
            answer(from, answered, fault);
        }
        return;
    }
    if (!request) {
        log_.line("conmon", "ignored a message of kind %u (opcode 0x%03x) from %s",
                  conmon_protocol_kind(header.status), header.opcode, address_text(from).c_str());
        return;
    }
    handle_request(datagram, header, from);
}

void ConmonServer::handle_request(std::span<const uint8_t> datagram,
                                  const conmon_protocol_header& header,
                                  const aud_socket_address& from) {
    conmon_request_fields fields;
    if (!conmon_parse_request(datagram, &fields)) {
        return;  // validated above, so this does not happen
    }
    if (header.opcode == CONMON_OPCODE_CONNECT) {
        on_connect(header, fields, from);
        return;
    }
    ConmonClientState* client = clients_.find(from);
    if (client == nullptr) {
        // Like a restarted service, it knows nothing of a client that has not
        // connected to it. It refuses that client's keepalive, which tells
        // the client to connect again; everything else goes unanswered.
        if (header.opcode == CONMON_OPCODE_KEEPALIVE && settings_.refuse_unknown_keepalive) {
            log_.line("conmon", "refused KEEPALIVE from %s: not connected", address_text(from).c_str());
            answer(from, header, CONMON_STATUS_INVALID_STATE);
            return;
        }
        if (header.opcode != CONMON_OPCODE_DISCONNECT) {
            log_.line("conmon", "ignored %s from %s: not connected", opcode_name(header.opcode),
                      address_text(from).c_str());
        }
        return;
    }
    client->last_heard = now();
    const std::string who = client->address_text();
    switch (header.opcode) {
        case CONMON_OPCODE_KEEPALIVE:
            answer(from, header, CONMON_STATUS_RESPONSE);
            return;
        case CONMON_OPCODE_DISCONNECT:
            log_.line("conmon", "client %s (\"%s\") disconnected", who.c_str(),
                      client->name.c_str());
            clients_.forget(from);
            std::erase_if(outbox_, [&](const Outgoing& o) {
                return aud_socket_address_equal(&o.address, &from);
            });
            return;
        case CONMON_OPCODE_REGISTER:
        case CONMON_OPCODE_UNREGISTER: {
            const ClientRegistration registration{fields.channel_type, fields.direction};
            const bool add = header.opcode == CONMON_OPCODE_REGISTER;
            if (add) {
                ClientRegistry::add_registration(*client, registration);
            } else {
                ClientRegistry::remove_registration(*client, registration);
            }
            log_.line("conmon", "client %s %s %s messages of %s devices", who.c_str(),
                      add ? "registered for" : "unregistered from",
                      conmon_channel_type_name(fields.channel_type),
                      fields.direction == CONMON_DIRECTION_REMOTE ? "remote" : "the local");
            answer(from, header, CONMON_STATUS_RESPONSE);
            return;
        }
        case CONMON_OPCODE_SUBSCRIBE:
            on_subscribe(*client, header, fields);
            return;
        case CONMON_OPCODE_UNSUBSCRIBE:
            ClientRegistry::remove_subscription(*client, fields.channel_type, fields.name);
            log_.line("conmon", "client %s unsubscribed from %s messages of \"%s\"", who.c_str(),
                      conmon_channel_type_name(fields.channel_type), fields.name);
            answer(from, header, CONMON_STATUS_RESPONSE);
            return;
        case CONMON_OPCODE_CLEAR_REMOTE:
            log_.line("conmon", "client %s cleared its %zu subscriptions", who.c_str(),
                      client->subscriptions.size());
            client->subscriptions.clear();
            answer(from, header, CONMON_STATUS_RESPONSE);
            return;
        case CONMON_OPCODE_CONTROL:
            on_control(*client, header, fields);
            return;
        default:
            log_.line("conmon", "client %s sent opcode 0x%03x: Not Supported", who.c_str(),
                      header.opcode);
            answer(from, header, CONMON_STATUS_NOT_SUPPORTED);
            return;
    }
}

void ConmonServer::on_connect(const conmon_protocol_header& header,
                              const conmon_request_fields& fields, const aud_socket_address& from) {
    const std::string who = address_text(from);
    if (header.version >= CONMON_VERSION_KEEPALIVE_FIELD &&
        settings_.version < CONMON_VERSION_KEEPALIVE_FIELD) {
        // An older service cannot read the newer connect request; its answer
        // names its own version, in which the client connects again.
        conmon_protocol_header older = header;
        older.version = settings_.version;
        answer(from, older, CONMON_STATUS_INVALID_SIZE);
        log_.line("conmon", "client %s asked for version 0x%04x: Invalid size, offering 0x%04x",
                  who.c_str(), header.version, settings_.version);
        return;
    }
    ConmonClientState* client = clients_.connect(from, fields.name, header.version, now());
    if (client == nullptr) {
        log_.line("conmon", "client %s refused: %zu clients already", who.c_str(), clients_.size());
        answer(from, header, CONMON_STATUS_NO_BUFFERS);
        return;
    }

    conmon_connect_info info;
    info.capabilities = CONMON_CAPABILITY_NO_RESPONSE;
    settings_.local_device_name.copy(info.device_name, CONMON_NAME_SIZE - 1);
    std::string("AVN simulated network").copy(info.device_text, CONMON_TEXT_SIZE - 1);
    std::copy(std::begin(kLocalDeviceId), std::end(kLocalDeviceId), info.source.device_id);
    info.source.process_id = port_;
    info.interface_count = 1;
    conmon_interface_record& loopback = info.interfaces[0];
    loopback.index = kLoopbackInterfaceIndex;
    loopback.flags = CONMON_INTERFACE_FLAG_LINK_UP;
    loopback.address = network_order(kLoopbackAddress);
    loopback.netmask = network_order(kLoopbackNetmask);
    loopback.mac[0] = 0x02;
    loopback.mac[5] = 0x01;
    loopback.link_speed = kLinkSpeedMbits;

    std::vector<uint8_t> response(kConnectResponseSize);
    response.resize(conmon_build_connect_response(response, header, header.version, info));
    queue(from, response);
    log_.line("conmon", "client %s connected as \"%s\" (version 0x%04x)", who.c_str(),
              client->name.c_str(), header.version);
}

void ConmonServer::on_subscribe(ConmonClientState& client, const conmon_protocol_header& header,
                                const conmon_request_fields& fields) {
    const ClientSubscription* subscription =
        ClientRegistry::add_subscription(client, fields.channel_type, fields.name);
    if (subscription == nullptr) {
        log_.line("conmon", "client %s has too many subscriptions", client.address_text().c_str());
        answer(client.address, header, CONMON_STATUS_NO_BUFFERS);
        return;
    }
    // A subscription to a name no device has is accepted, as on a network
    // where the device may appear later; its record then carries no source.
    const SimDevice* device = find_device(fields.name);
    conmon_subscription_record record;
    record.flags = CONMON_SUBSCRIPTION_FLAG_SUBSCRIPTION;
    record.subscription_id = subscription->subscription_id;
    subscription->device_name.copy(record.device_name, CONMON_NAME_SIZE - 1);
    record.channel_type = subscription->channel_type;
    record.key = subscription->subscription_id;
    if (device != nullptr) {
        record.flags |= CONMON_SUBSCRIPTION_FLAG_SOURCE;
        record.source = device->identity().source;
        record.status[0] = 1;  // resolved
    }
    log_.line("conmon", "client %s subscribed to %s messages of \"%s\"%s",
              client.address_text().c_str(), conmon_channel_type_name(fields.channel_type),
              fields.name, device != nullptr ? "" : " (no such device)");
    if (!wants_answer(header)) {
        return;
    }
    std::vector<uint8_t> response(kSubscriptionRecordsOffset + CONMON_SUBSCRIPTION_RECORD_SIZE);
    const conmon_subscription_record records[] = {record};
    response.resize(conmon_build_subscriptions(response, header.version, &header, records));
    queue(client.address, response);
}

void ConmonServer::on_control(ConmonClientState& client, const conmon_protocol_header& header,
                              const conmon_request_fields& fields) {
    const std::string who = client.address_text();
    if (fields.channel != 0) {
        log_.line("conmon", "client %s sent a control message on the %s channel: Not Supported",
                  who.c_str(), conmon_channel_type_name(fields.channel));
        answer(client.address, header, CONMON_STATUS_NOT_SUPPORTED);
        return;
    }
    SimDevice* device = find_device(fields.name);
    if (device == nullptr) {
        log_.line("conmon", "client %s sent a control message to \"%s\": Not Found", who.c_str(),
                  fields.name);
        answer(client.address, header, CONMON_STATUS_NOT_FOUND);
        return;
    }
    if (device->muted()) {
        const milliseconds timeout = request_timeout(fields, settings_.default_delivery_timeout);
        log_.line("conmon",
                  "client %s sent a control message to \"%s\", which does not answer: "
                  "Timeout in %lld ms",
                  who.c_str(), device->name().c_str(), static_cast<long long>(timeout.count()));
        answer(client.address, header, CONMON_STATUS_TIMEOUT, timeout);
        return;
    }
    const conmon_message* message = conmon_message_from_bytes(fields.conmon_message.data());
    log_.line("conmon", "client %s sent a %u-byte control message to %s \"%s\"", who.c_str(),
              conmon_message_body_size(message), device->kind(), device->name().c_str());
    const std::vector<DeviceMessage> replies = device->deliver_control(message);
    answer(client.address, header, CONMON_STATUS_RESPONSE);
    for (const DeviceMessage& reply : replies) {
        deliver_from_device(*device, reply);
    }
}

void ConmonServer::deliver_from_device(SimDevice& device, const DeviceMessage& message) {
    if (device.muted()) {
        return;
    }
    std::vector<uint8_t> conmon(CONMON_MESSAGE_HEAD_SIZE + message.body.size());
    size_t size = 0;
    if (conmon_message_build(conmon, kVendorMessageType, device.identity().manufacturer_id.data(),
                             message.body, &size) != AUD_SUCCESS) {
        log_.line("conmon", "%s: a %zu-byte message is too long to send", device.name().c_str(),
                  message.body.size());
        return;
    }
    conmon_message_set_origin(conmon.data(), device.next_sequence(), device.identity().source);
    const std::span<const uint8_t> bytes = std::span(conmon).first(size);
    if (observer_) {
        observer_(device, message.channel_type, bytes);
    }

    size_t recipients = 0;
    for (const ConmonClientState& client : clients_.clients()) {
        if (!client.registered(message.channel_type, CONMON_DIRECTION_REMOTE) ||
            client.subscription(message.channel_type, device.name()) == nullptr) {
            continue;
        }
        std::vector<uint8_t> event(kNamedMessageOffset + size);
        event.resize(conmon_build_rx_named_message(event, client.version, message.channel_type,
                                                   CONMON_DIRECTION_REMOTE, device.name().c_str(),
                                                   bytes));
        queue(client.address, event, milliseconds(device.reply_delay_ms()));
        ++recipients;
    }
    log_.line("conmon", "%s \"%s\" sent a %zu-byte %s message to %zu client(s)", device.kind(),
              device.name().c_str(), message.body.size(),
              conmon_channel_type_name(message.channel_type), recipients);
}

// ---- Sending ----

void ConmonServer::answer(const aud_socket_address& to, const conmon_protocol_header& request,
                          uint16_t status, milliseconds after) {
    if (!wants_answer(request)) {
        return;
    }
    uint8_t response[CONMON_PROTOCOL_HEADER_SIZE];
    const size_t length = conmon_build_response(response, request, status);
    queue(to, std::span(response).first(length), after);
}

void ConmonServer::queue(const aud_socket_address& to, std::span<const uint8_t> datagram,
                         milliseconds after) {
    if (datagram.empty()) {
        return;
    }
    outbox_.push_back(Outgoing{now() + delay_ + after, to, {datagram.begin(), datagram.end()}});
}

void ConmonServer::send_due() {
    const SteadyTime at = now();
    // In queue order, so an answer leaves before the device messages that
    // follow it unless a delay holds it back.
    for (auto it = outbox_.begin(); it != outbox_.end();) {
        if (it->due <= at) {
            send_now(*it);
            it = outbox_.erase(it);
        } else {
            ++it;
        }
    }
}

void ConmonServer::send_now(Outgoing& outgoing) {
    if (silent_ || socket_ == AUD_SOCKET_INVALID) {
        return;
    }
    const std::string to = address_text(outgoing.address);
    switch (faults_to_clients_.decide()) {
        case FaultAction::Drop:
            log_.line("fault", "dropped a %zu-byte datagram to %s", outgoing.datagram.size(),
                      to.c_str());
            return;
        case FaultAction::Corrupt:
            corrupt_datagram(outgoing.datagram);
            log_.line("fault", "corrupted a %zu-byte datagram to %s", outgoing.datagram.size(),
                      to.c_str());
            break;
        case FaultAction::Pass:
            break;
    }
    size_t length = outgoing.datagram.size();
    const aud_error error =
        aud_socket_sendto(socket_, outgoing.datagram.data(), &length, &outgoing.address);
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        log_.line("conmon", "sending to %s failed: %s", to.c_str(),
                  aud_error_format(error, text, sizeof text));
    }
}

// ---- Housekeeping ----

void ConmonServer::expire_clients() {
    if (settings_.client_timeout.count() <= 0) {
        return;
    }
    for (const ConmonClientState& gone : clients_.expire(now(), settings_.client_timeout)) {
        log_.line("conmon", "client %s (\"%s\") forgotten: silent for %lld ms",
                  gone.address_text().c_str(), gone.name.c_str(),
                  static_cast<long long>(settings_.client_timeout.count()));
    }
}

void ConmonServer::close_if_requested() {
    if (!close_requested_) {
        return;
    }
    aud_socket_close(&socket_);
    close_requested_ = false;
    log_.line("conmon", "port %u closed", port_.load());
    closed_.notify_all();
}

void ConmonServer::reopen_when_due() {
    if (socket_ != AUD_SOCKET_INVALID || stopping_ || now() < reopen_at_) {
        return;
    }
    const aud_error error = open_socket();
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        log_.line("conmon", "cannot listen on 127.0.0.1:%u again: %s", port_.load(),
                  aud_error_format(error, text, sizeof text));
        reopen_at_ = now() + kReopenRetry;
        return;
    }
    log_.line("conmon", "listening on 127.0.0.1:%u again", port_.load());
}

// ---- Faults ----

void ConmonServer::set_refuse_unknown_keepalive(bool refuse) {
    const std::lock_guard<std::mutex> lock(mutex_);
    settings_.refuse_unknown_keepalive = refuse;
}

void ConmonServer::set_silent(bool silent) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (silent_ != silent) {
        log_.line("fault", "server %s", silent ? "goes silent" : "answers again");
    }
    silent_ = silent;
}

void ConmonServer::set_delay(milliseconds delay) {
    const std::lock_guard<std::mutex> lock(mutex_);
    delay_ = std::max(delay, milliseconds(0));
    log_.line("fault", "datagrams to clients delayed by %lld ms",
              static_cast<long long>(delay_.count()));
}

void ConmonServer::restart(milliseconds downtime) {
    std::unique_lock<std::mutex> lock(mutex_);
    log_.line("fault", "restart: forgetting %zu clients%s", clients_.size(),
              downtime.count() > 0 ? ", closing the port" : "");
    clients_.clear();
    outbox_.clear();
    if (downtime.count() <= 0 || !thread_.joinable()) {
        return;
    }
    close_requested_ = true;
    reopen_at_ = now() + downtime;
    closed_.wait_for(lock, kLongestRestartWait, [this] { return !close_requested_; });
}

DatagramFaults& ConmonServer::faults(DatagramFlow flow) {
    return flow == DatagramFlow::ToClients ? faults_to_clients_ : faults_from_clients_;
}

const DatagramFaults& ConmonServer::faults(DatagramFlow flow) const {
    return flow == DatagramFlow::ToClients ? faults_to_clients_ : faults_from_clients_;
}

void ConmonServer::set_datagram_faults(DatagramFlow flow, const DatagramFaultSettings& settings) {
    const std::lock_guard<std::mutex> lock(mutex_);
    faults(flow).set_fractions(settings);
    const DatagramFaultSettings applied = faults(flow).fractions();
    log_.line("fault", "datagrams %s: drop %.3f, corrupt %.3f", flow_name(flow),
              applied.drop_fraction, applied.corrupt_fraction);
}

void ConmonServer::drop_next_datagrams(DatagramFlow flow, uint32_t count) {
    const std::lock_guard<std::mutex> lock(mutex_);
    faults(flow).drop_next(count);
    log_.line("fault", "dropping the next %u datagrams %s", count, flow_name(flow));
}

void ConmonServer::corrupt_next_datagrams(DatagramFlow flow, uint32_t count) {
    const std::lock_guard<std::mutex> lock(mutex_);
    faults(flow).corrupt_next(count);
    log_.line("fault", "corrupting the next %u datagrams %s", count, flow_name(flow));
}

DatagramFaultCounts ConmonServer::datagram_fault_counts(DatagramFlow flow) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {faults(flow).dropped(), faults(flow).corrupted()};
}

bool ConmonServer::set_device_muted(std::string_view name, bool muted) {
    const std::lock_guard<std::mutex> lock(mutex_);
    SimDevice* device = find_device(name);
    if (device == nullptr) {
        return false;
    }
    device->set_muted(muted);
    log_.line("fault", "%s \"%s\" %s", device->kind(), device->name().c_str(),
              muted ? "stops answering" : "answers again");
    return true;
}

bool ConmonServer::set_device_reply_delay(std::string_view name, milliseconds delay) {
    const std::lock_guard<std::mutex> lock(mutex_);
    SimDevice* device = find_device(name);
    if (device == nullptr) {
        return false;
    }
    device->set_reply_delay_ms(static_cast<uint32_t>(std::max<int64_t>(delay.count(), 0)));
    log_.line("fault", "%s \"%s\" answers %u ms late", device->kind(), device->name().c_str(),
              device->reply_delay_ms());
    return true;
}

// ---- State ----

size_t ConmonServer::client_count() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

bool ConmonServer::status_subscribed(std::string_view device) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const ConmonClientState& client : clients_.clients()) {
        if (client.subscription(CONMON_CHANNEL_TYPE_STATUS, device) != nullptr) {
            return true;
        }
    }
    return false;
}

std::vector<ConmonClientState> ConmonServer::clients() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return clients_.clients();
}

std::optional<ConmonClientState> ConmonServer::client_at_port(uint16_t port) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const ConmonClientState& client : clients_.clients()) {
        if (aud_socket_address_get_port(&client.address) == port) {
            return client;
        }
    }
    return std::nullopt;
}

std::optional<ParameterValues> ConmonServer::unit_parameters(std::string_view name) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Tpx2Unit* unit = find_unit(name);
    if (unit == nullptr) {
        return std::nullopt;
    }
    return unit->parameters();
}

std::optional<UnitCounters> ConmonServer::unit_counters(std::string_view name) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Tpx2Unit* unit = find_unit(name);
    if (unit == nullptr) {
        return std::nullopt;
    }
    return unit->counters();
}

bool ConmonServer::change_unit_parameter(std::string_view name, ParameterId id, int32_t value) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Tpx2Unit* unit = find_unit(name);
    if (unit == nullptr) {
        return false;
    }
    deliver_from_device(*unit, unit->change_parameter_locally(id, value));
    return true;
}

RelayedDelivery ConmonServer::deliver_relayed_control(std::string_view name,
                                                      std::span<const uint8_t> message) {
    const std::lock_guard<std::mutex> lock(mutex_);
    SimDevice* device = find_device(name);
    if (device == nullptr || !conmon_message_is_valid(message)) {
        return RelayedDelivery::NotFound;
    }
    if (device->muted()) {
        return RelayedDelivery::Muted;
    }
    const conmon_message* m = conmon_message_from_bytes(message.data());
    log_.line("conmon", "the Domain Manager relayed a %u-byte control message to %s \"%s\"",
              conmon_message_body_size(m), device->kind(), device->name().c_str());
    for (const DeviceMessage& reply : device->deliver_control(m)) {
        deliver_from_device(*device, reply);
    }
    return RelayedDelivery::Delivered;
}

void ConmonServer::set_device_observer(DeviceObserver observer) {
    const std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

std::optional<uint32_t> ConmonServer::device_control_messages(std::string_view name) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const SimDevice* device = find_device(name);
    if (device == nullptr) {
        return std::nullopt;
    }
    return device->control_messages();
}

SimDevice* ConmonServer::find_device(std::string_view name) const {
    for (SimDevice* device : devices_) {
        if (device_names_equal(device->name(), name)) {
            return device;
        }
    }
    return nullptr;
}

Tpx2Unit* ConmonServer::find_unit(std::string_view name) const {
    return dynamic_cast<Tpx2Unit*>(find_device(name));
}

}  // namespace sim
