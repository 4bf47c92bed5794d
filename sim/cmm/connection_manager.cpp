#include "sim/cmm/connection_manager.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "avn/runtime/aud_time.h"
#include "sim/loopback_udp.h"

namespace sim {

namespace {

using std::chrono::milliseconds;

// The thread wakes at least this often to send what is due and to notice a
// stop request.
constexpr milliseconds kPollSlice{50};
// Datagrams handled in one pass before timers are looked at.
constexpr int kReadsPerPass = 64;
// Larger than any DGCP2 message, so an oversized datagram is seen as such.
constexpr size_t kReceiveBufferSize = 2048;
// The state lists every attached process, so no more can attach.
constexpr size_t kMaxClients = CMM_MAX_PROCESSES;
// The connection info of a CONNECT response: protocol version 1.0, then the
// client's place among the attached processes (from 1) and the most there
// can be.
constexpr uint8_t kVersionMajor = 1;
constexpr uint8_t kVersionMinor = 0;

std::chrono::steady_clock::time_point now() {
    return std::chrono::steady_clock::now();
}

std::string address_text(const aud_socket_address& address) {
    const uint32_t ip = aud_socket_address_get_ipv4(&address);
    char text[AUD_SOCKET_ADDRESS_TEXT_SIZE];
    aud_snprintf(text, sizeof text, "%u.%u.%u.%u:%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
                 ip & 0xFF, unsigned{aud_socket_address_get_port(&address)});
    return text;
}

const char* opcode_name(uint16_t opcode) {
    switch (opcode) {
        case CMM_OPCODE_KEEPALIVE:
            return "KEEPALIVE";
        case CMM_OPCODE_CONNECT:
            return "CONNECT";
        case CMM_OPCODE_DISCONNECT:
            return "DISCONNECT";
        case CMM_OPCODE_OPTIONS:
            return "OPTIONS";
        case CMM_OPCODE_STATE:
            return "STATE";
        case CMM_OPCODE_SET_CONFIG:
            return "SET_CONFIG";
        default:
            return "request";
    }
}

bool is_none(const cmm_interface& interface) {
    static const cmm_interface kNone{};
    return std::memcmp(&interface, &kNone, sizeof interface) == 0;
}

std::u16string name_of(const cmm_interface& interface) {
    const auto* end = std::find(interface.name, interface.name + CMM_INTERFACE_NAME_SIZE, u'\0');
    return std::u16string(interface.name, end);
}

// Encodes a state into a message by `build`; when the attached processes make
// it too long for one message, the last ones are left out until it fits.
template <typename Build>
aud_error build_fitting(cmm_state state, Build build) {
    for (;;) {
        const aud_error error = build(state);
        if (error != AUD_ERR_MSGSIZE || state.process_count == 0) {
            return error;
        }
        --state.process_count;
    }
}

// The first configuration in force: the first offered network as primary and
// no secondary, as the utility itself writes a configuration.
cmm_interface_set first_config(const cmm_options& options) {
    cmm_interface_set set;
    std::memset(&set, 0, sizeof set);
    set.count = CMM_SET_INTERFACES;
    if (options.count > 0) {
        set.interfaces[0] = options.interfaces[0];
    }
    return set;
}

}  // namespace

ConnectionManager::ConnectionManager(CmmSettings settings, CmmLogSink log)
    : settings_(std::move(settings)),
      sink_(std::move(log)),
      options_(cmm_options_record(offered_networks(settings_))),
      quiet_(settings_.quiet),
      current_(first_config(options_)),
      silent_(settings_.silent),
      refuse_(settings_.refuse),
      refuse_kind_(settings_.refuse_kind),
      apply_delay_(settings_.apply_delay),
      connect_delay_(settings_.connect_delay) {}

ConnectionManager::~ConnectionManager() {
    stop();
}

aud_error ConnectionManager::start() {
    if (thread_.joinable()) {
        return AUD_ERR_INVALIDSTATE;
    }
    // The global environment starts the platform's socket layer.
    aud_error error = aud_env_acquire(&env_);
    if (error != AUD_SUCCESS) {
        return error;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    error = open_socket();
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        log("cannot listen on 127.0.0.1:%u: %s", unsigned{settings_.port},
            aud_error_format(error, text, sizeof text));
        aud_env_release(env_);
        env_ = nullptr;
        return error;
    }
    std::string names;
    for (uint16_t i = 0; i < options_.count; ++i) {
        names.append(i > 0 ? ", \"" : "\"");
        names.append(utf16_to_utf8(name_of(options_.interfaces[i]))).append(1, '"');
    }
    log("listening on 127.0.0.1:%u; device \"%s\", networks %s; in force: %s",
        unsigned{port_.load()}, settings_.device_name.c_str(), names.c_str(),
        config_text(current_).c_str());
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return AUD_SUCCESS;
}

void ConnectionManager::stop() {
    const bool was_running = thread_.joinable();
    if (was_running) {
        stopping_ = true;
        thread_.join();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (was_running) {
        log("stopped");
    }
    aud_socket_close(&socket_);
    clients_.clear();
    delayed_connects_.clear();
    if (env_ != nullptr) {
        aud_env_release(env_);
        env_ = nullptr;
    }
}

aud_error ConnectionManager::open_socket() {
    aud_socket_t socket = AUD_SOCKET_INVALID;
    uint16_t bound_port = 0;
    if (const aud_error error = open_loopback_udp(settings_.port, &socket, &bound_port);
        error != AUD_SUCCESS) {
        return error;
    }
    port_ = bound_port;
    socket_ = socket;
    return AUD_SUCCESS;
}

// ---- Faults and state ----

void ConnectionManager::set_silent(bool silent) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (silent_ != silent) {
        log(silent ? "fault: silent (reads everything, answers nothing)" : "fault: speaking again");
    }
    silent_ = silent;
}

void ConnectionManager::set_refusing(bool refuse, uint16_t kind) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (refuse) {
        log("fault: refusing every CONNECT with \"%s\" (0x%04x)", dgcp2_kind_name(kind),
            unsigned{kind});
    } else if (refuse_) {
        log("fault: accepting clients again");
    }
    refuse_ = refuse;
    refuse_kind_ = kind;
}

void ConnectionManager::restart() {
    const std::lock_guard<std::mutex> lock(mutex_);
    log("fault: restarted, %zu clients forgotten%s", clients_.size(),
        change_due_ ? ", the change under way abandoned" : "");
    clients_.clear();
    if (status_ == CMM_STATUS_CHANGING) {
        status_ = CMM_STATUS_READY;
        std::memset(&pending_, 0, sizeof pending_);
    }
    change_due_.reset();
    lock_ = false;
}

void ConnectionManager::set_apply_delay(milliseconds delay) {
    const std::lock_guard<std::mutex> lock(mutex_);
    apply_delay_ = delay;
}

void ConnectionManager::set_connect_delay(milliseconds delay) {
    const std::lock_guard<std::mutex> lock(mutex_);
    connect_delay_ = delay;
}

size_t ConnectionManager::client_count() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

std::vector<CmmClientInfo> ConnectionManager::clients() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CmmClientInfo> out;
    for (const Client& client : clients_) {
        out.push_back({aud_socket_address_get_port(&client.address), client.registration.name,
                       client.registration.process_id});
    }
    return out;
}

cmm_state ConnectionManager::state() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return state_for(nullptr);
}

cmm_options ConnectionManager::options() const {
    return options_;
}

bool ConnectionManager::lock() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lock_;
}

// ---- The service's thread ----

void ConnectionManager::run() {
    while (!stopping_) {
        wait_for_datagrams();
        const std::lock_guard<std::mutex> lock(mutex_);
        read_datagrams();
        if (!silent_) {
            answer_connects_when_due();
            finish_change_when_due();
            send_keepalives();
            expire_clients();
        }
    }
}

void ConnectionManager::wait_for_datagrams() {
    milliseconds wait = kPollSlice;
    aud_socket_t socket = AUD_SOCKET_INVALID;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        socket = socket_;
        if (change_due_ && !silent_) {
            const auto left = std::chrono::ceil<milliseconds>(*change_due_ - now());
            wait = std::clamp(left, milliseconds{0}, kPollSlice);
        }
        if (!delayed_connects_.empty() && !silent_) {
            const auto left = std::chrono::ceil<milliseconds>(delayed_connects_.front().due - now());
            wait = std::clamp(left, milliseconds{0}, wait);
        }
    }
    // The socket is closed only once this thread has ended.
    const aud_time timeout = aud_time_from_milliseconds(wait.count());
    aud_socket_wait_readable(socket, &timeout);
}

void ConnectionManager::read_datagrams() {
    uint8_t buffer[kReceiveBufferSize];
    read_waiting_datagrams(socket_, buffer, kReadsPerPass,
                           [this](std::span<uint8_t> datagram, const aud_socket_address& from) {
                               if (!silent_) {
                                   handle_datagram(datagram, from);
                               }
                           });
}

void ConnectionManager::handle_datagram(std::span<const uint8_t> datagram,
                                        const aud_socket_address& from) {
    const std::string who = address_text(from);
    dgcp2_message request;
    switch (dgcp2_message_load(&request, CMM_HEADER_TYPE, datagram)) {
        case AUD_SUCCESS:
            break;
        case AUD_ERR_TRUNCATED:
            log("ignored a %zu-byte datagram from %s: shorter than a header", datagram.size(),
                who.c_str());
            return;
        case AUD_ERR_MSGSIZE:
            log("ignored a %zu-byte datagram from %s: longer than a message", datagram.size(),
                who.c_str());
            return;
        default:
            log("ignored a %zu-byte datagram from %s: its length field says %u", datagram.size(),
                who.c_str(), unsigned{dgcp2_message_get_length(&request)});
            return;
    }
    const uint16_t protocol = dgcp2_message_get_protocol_id(&request);
    const uint16_t opcode = dgcp2_message_get_opcode(&request);
    const uint16_t kind = dgcp2_message_get_kind(&request);
    if (protocol != CMM_PROTOCOL_ID) {
        log("ignored a datagram of protocol 0x%04x from %s", unsigned{protocol}, who.c_str());
        return;
    }
    if (kind != DGCP2_KIND_REQUEST) {
        log("ignored a message of kind 0x%04x (opcode 0x%04x) from %s: not a request",
            unsigned{kind}, unsigned{opcode}, who.c_str());
        return;
    }
    if (opcode == CMM_OPCODE_CONNECT) {
        if (connect_delay_.count() > 0) {
            delayed_connects_.push_back({request, from, now() + connect_delay_});
            return;
        }
        on_connect(request, from);
        return;
    }
    Client* client = find_client(from);
    if (client == nullptr) {
        answer_unknown_client(request, from);
        return;
    }
    client->last_heard = now();
    dgcp2_message answer;
    switch (opcode) {
        case CMM_OPCODE_KEEPALIVE:
            cmm_build_response(&answer, &request, DGCP2_KIND_RESPONSE);
            send(from, answer);
            client->last_sent = now();
            return;
        case CMM_OPCODE_DISCONNECT:
            on_disconnect(*client);
            return;
        case CMM_OPCODE_SET_CONFIG:
            on_set_config(*client, request);
            return;
        default: {
            // OPTIONS and STATE are the service's own events, not requests.
            const bool known = opcode == CMM_OPCODE_OPTIONS || opcode == CMM_OPCODE_STATE;
            const uint16_t refusal =
                known ? DGCP2_KIND_UNSUPPORTED_OPCODE : DGCP2_KIND_UNRECOGNISED_OPCODE;
            log("answered %s 0x%04x from %s with \"%s\"", opcode_name(opcode), unsigned{opcode},
                who.c_str(), dgcp2_kind_name(refusal));
            cmm_build_response(&answer, &request, refusal);
            send(from, answer);
            client->last_sent = now();
            return;
        }
    }
}

void ConnectionManager::answer_connects_when_due() {
    while (!delayed_connects_.empty() && delayed_connects_.front().due <= now()) {
        const DelayedConnect held = delayed_connects_.front();
        delayed_connects_.erase(delayed_connects_.begin());
        on_connect(held.request, held.from);
    }
}

void ConnectionManager::on_connect(const dgcp2_message& request, const aud_socket_address& from) {
    const std::string who = address_text(from);
    dgcp2_message answer;
    Client* known = find_client(from);
    if (refuse_) {
        log("refused CONNECT from %s with \"%s\"", who.c_str(), dgcp2_kind_name(refuse_kind_));
        cmm_build_response(&answer, &request, refuse_kind_);
        send(from, answer);
        if (known != nullptr) {
            on_disconnect(*known);  // it no longer counts itself connected
        }
        return;
    }
    cmm_registration registration;
    if (cmm_decode_connect_request(&request, &registration) != AUD_SUCCESS) {
        log("answered a CONNECT from %s that does not decode with \"Invalid Data\"", who.c_str());
        cmm_build_response(&answer, &request, DGCP2_KIND_INVALID_DATA);
        send(from, answer);
        return;
    }
    if (known == nullptr && clients_.size() >= kMaxClients) {
        log("refused CONNECT from %s (\"%s\"): %zu clients already attached", who.c_str(),
            registration.name, clients_.size());
        cmm_build_response(&answer, &request, DGCP2_KIND_TOO_MANY_CLIENTS);
        send(from, answer);
        return;
    }
    // A CONNECT from a known address starts that client afresh.
    if (known == nullptr) {
        clients_.push_back(Client{});
        known = &clients_.back();
        known->address = from;
    }
    Client& client = *known;
    client.id = dgcp2_message_get_client_id(&request);
    client.registration = registration;
    client.seqnum = 0;
    client.last_heard = now();
    log("client %s connected: \"%s\", process %u%s (%zu attached)", who.c_str(), registration.name,
        unsigned{registration.process_id},
        registration.own_process != 0 ? ", own-process flag" : "", clients_.size());

    const auto place = static_cast<uint16_t>(&client - clients_.data() + 1);
    const cmm_connection_info info{{kVersionMajor, kVersionMinor},
                                   {place, static_cast<uint16_t>(kMaxClients)}};
    cmm_build_connect_response(&answer, &request, &info);
    send(from, answer);
    dgcp2_message event;
    cmm_build_options_event(&event, client.seqnum, &client.id, &options_);
    send_event(client, event);
    send_state(client);
    broadcast_state(&client);  // the others see one more process
}

void ConnectionManager::on_disconnect(Client& client) {
    log("client %s (\"%s\") disconnected", address_text(client.address).c_str(),
        client.registration.name);
    const aud_socket_address address = client.address;
    std::erase_if(clients_,
                  [&](const Client& c) { return aud_socket_address_equal(&c.address, &address); });
    broadcast_state();
}

void ConnectionManager::answer_unknown_client(const dgcp2_message& request,
                                              const aud_socket_address& from) {
    const uint16_t opcode = dgcp2_message_get_opcode(&request);
    if (opcode == CMM_OPCODE_DISCONNECT) {
        return;  // nothing to forget, and the client waits for no answer
    }
    log("answered %s from %s with \"Not connected\"", opcode_name(opcode),
        address_text(from).c_str());
    if (opcode == CMM_OPCODE_SET_CONFIG) {
        // The client reads the state from any answer to SET_CONFIG.
        answer_set_config(request, from, DGCP2_KIND_NOT_CONNECTED, state_for(nullptr));
        return;
    }
    dgcp2_message answer;
    cmm_build_response(&answer, &request, DGCP2_KIND_NOT_CONNECTED);
    send(from, answer);
}

void ConnectionManager::on_set_config(Client& client, const dgcp2_message& request) {
    const std::string who = address_text(client.address);
    cmm_config_request config;
    if (cmm_decode_set_config_request(&request, &config) != AUD_SUCCESS) {
        log("answered a SET_CONFIG from %s that does not decode with \"Invalid Data\"",
            who.c_str());
        answer_set_config(request, client.address, DGCP2_KIND_INVALID_DATA, state_for(&client));
        return;
    }
    if ((config.flags & CMM_CONFIG_LOCK) != 0) {
        lock_ = config.lock != 0;
        log("client %s set the lock to %s", who.c_str(), lock_ ? "true" : "false");
    }
    if ((config.flags & CMM_CONFIG_INTERFACES) == 0) {
        answer_set_config(request, client.address, DGCP2_KIND_RESPONSE, state_for(&client));
        return;
    }
    if (const std::optional<std::string> reason = check_config(config.interfaces)) {
        log("rejected the configuration %s from %s: %s", config_text(config.interfaces).c_str(),
            who.c_str(), reason->c_str());
        cmm_state rejected = state_for(&client);
        rejected.status = CMM_STATUS_INVALID_CONFIG;
        std::memset(&rejected.pending_config, 0, sizeof rejected.pending_config);
        answer_set_config(request, client.address, DGCP2_KIND_INVALID_DATA, rejected);
        return;
    }
    // A request during a change replaces the change under way.
    status_ = CMM_STATUS_CHANGING;
    pending_ = config.interfaces;
    change_due_ = now() + apply_delay_;
    log("client %s asked for %s: changing", who.c_str(), config_text(pending_).c_str());
    answer_set_config(request, client.address, DGCP2_KIND_RESPONSE, state_for(&client));
    client.last_sent = now();
    broadcast_state();
}

std::optional<std::string> ConnectionManager::check_config(const cmm_interface_set& set) const {
    const size_t count = std::min<size_t>(set.count, CMM_SET_INTERFACES);
    for (size_t i = 0; i < count; ++i) {
        const cmm_interface& asked = set.interfaces[i];
        if (is_none(asked)) {
            continue;
        }
        const cmm_interface* offered = cmm_options_find(&options_, asked.name);
        std::string name(1, '"');
        name.append(utf16_to_utf8(name_of(asked))).push_back('"');
        if (offered == nullptr) {
            return name + " is not offered";
        }
        if (std::memcmp(offered->mac, asked.mac, CMM_MAC_SIZE) != 0) {
            return name + " is offered with another MAC address";
        }
        for (size_t k = 0; k < i; ++k) {
            if (std::memcmp(&set.interfaces[k], &asked, sizeof asked) == 0) {
                return name + " is named twice";
            }
        }
    }
    return std::nullopt;
}

void ConnectionManager::finish_change_when_due() {
    if (!change_due_ || now() < *change_due_) {
        return;
    }
    change_due_.reset();
    status_ = CMM_STATUS_READY;
    current_ = pending_;
    std::memset(&pending_, 0, sizeof pending_);
    log("configuration in force: %s", config_text(current_).c_str());
    broadcast_state();
}

void ConnectionManager::send_keepalives() {
    const auto at = now();
    for (Client& client : clients_) {
        if (at - client.last_sent < settings_.keepalive_interval) {
            continue;
        }
        // An event, so that it can never be taken for the answer to one of
        // the client's requests.
        dgcp2_message keepalive;
        dgcp2_message_init(&keepalive, CMM_HEADER_TYPE);
        dgcp2_message_write_header(&keepalive, CMM_PROTOCOL_ID, CMM_OPCODE_KEEPALIVE,
                                   DGCP2_KIND_EVENT);
        dgcp2_message_set_seqnum(&keepalive, client.seqnum);
        dgcp2_message_set_client_id(&keepalive, &client.id);
        send_event(client, keepalive);
    }
}

void ConnectionManager::expire_clients() {
    if (settings_.client_timeout.count() <= 0) {
        return;
    }
    const auto at = now();
    const size_t before = clients_.size();
    std::erase_if(clients_, [&](const Client& client) {
        if (at - client.last_heard < settings_.client_timeout) {
            return false;
        }
        log("forgot client %s (\"%s\"): not heard from for %lld ms",
            address_text(client.address).c_str(), client.registration.name,
            static_cast<long long>(settings_.client_timeout.count()));
        return true;
    });
    if (clients_.size() != before) {
        broadcast_state();
    }
}

// ---- Messages ----

cmm_state ConnectionManager::state_for(const Client* reader) const {
    cmm_state state;
    std::memset(&state, 0, sizeof state);
    state.status = status_;
    const std::string& device = settings_.device_name;
    std::memcpy(state.device_name, device.data(),
                std::min(device.size(), size_t{CMM_DEVICE_NAME_SIZE - 1}));
    state.current_config = current_;
    if (status_ == CMM_STATUS_CHANGING) {
        state.pending_config = pending_;
    }
    for (const Client& client : clients_) {
        if (state.process_count >= CMM_MAX_PROCESSES) {
            break;
        }
        cmm_process& process = state.processes[state.process_count++];
        std::memcpy(process.name, client.registration.name, sizeof process.name);
        process.process_id = client.registration.process_id;
        // Every client of the reader's own process is marked as such.
        process.flag =
            reader != nullptr && process.process_id == reader->registration.process_id ? 1 : 0;
    }
    return state;
}

void ConnectionManager::send_state(Client& client) {
    dgcp2_message event;
    const aud_error error = build_fitting(state_for(&client), [&](const cmm_state& state) {
        return cmm_build_state_event(&event, client.seqnum, &client.id, &state);
    });
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        log("cannot build the state for %s: %s", address_text(client.address).c_str(),
            aud_error_format(error, text, sizeof text));
        return;
    }
    send_event(client, event);
}

void ConnectionManager::broadcast_state(const Client* except) {
    for (Client& client : clients_) {
        if (&client != except) {
            send_state(client);
        }
    }
}

void ConnectionManager::answer_set_config(const dgcp2_message& request,
                                          const aud_socket_address& to, uint16_t kind,
                                          cmm_state state) {
    dgcp2_message answer;
    const aud_error error = build_fitting(state, [&](const cmm_state& fitting) {
        return cmm_build_set_config_response(&answer, &request, kind, &fitting);
    });
    if (error != AUD_SUCCESS) {
        cmm_build_response(&answer, &request, DGCP2_KIND_SERVER_ERROR);
    }
    send(to, answer);
}

void ConnectionManager::send_event(Client& client, dgcp2_message& event) {
    dgcp2_message_set_seqnum(&event, client.seqnum++);
    send(client.address, event);
    client.last_sent = now();
}

void ConnectionManager::send(const aud_socket_address& to, const dgcp2_message& message) {
    const std::span<const uint8_t> bytes = dgcp2_message_bytes(&message);
    size_t length = bytes.size();
    const aud_error error = aud_socket_sendto(socket_, bytes.data(), &length, &to);
    if (error != AUD_SUCCESS) {
        char text[AUD_ERROR_FORMAT_SIZE];
        log("cannot send %s to %s: %s", opcode_name(dgcp2_message_get_opcode(&message)),
            address_text(to).c_str(), aud_error_format(error, text, sizeof text));
    }
}

ConnectionManager::Client* ConnectionManager::find_client(const aud_socket_address& address) {
    for (Client& client : clients_) {
        if (aud_socket_address_equal(&client.address, &address)) {
            return &client;
        }
    }
    return nullptr;
}

std::string ConnectionManager::config_text(const cmm_interface_set& set) const {
    const size_t count = std::min<size_t>(set.count, CMM_SET_INTERFACES);
    if (count == 0) {
        return "no interfaces";
    }
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        const cmm_interface& interface = set.interfaces[i];
        text += i > 0 ? ", " : "";
        if (is_none(interface)) {
            text += "none";
            continue;
        }
        MacAddress mac{};
        std::copy_n(interface.mac, CMM_MAC_SIZE, mac.begin());
        text.append(1, '"').append(utf16_to_utf8(name_of(interface))).append("\" (");
        text.append(mac_text(mac)).append(1, ')');
    }
    return text;
}

void ConnectionManager::log(const char* format, ...) {
    if (quiet_) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    aud_vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (sink_) {
        sink_(text);
        return;
    }
    // Time of day in UTC, as the rest of avn-sim stamps its lines.
    const aud_time wall = aud_time_wall_now();
    const int32_t seconds_of_day = wall.seconds % 86400;
    std::printf("%02d:%02d:%02d.%03d avn-sim cmm: %s\n", seconds_of_day / 3600,
                seconds_of_day / 60 % 60, seconds_of_day % 60, wall.microseconds / 1000, text);
    std::fflush(stdout);
}

}  // namespace sim
