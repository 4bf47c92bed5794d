#include "device/conmon_transport.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "avn/api/avn_access.h"
#include "device/sync_event.h"
#include "device/text_convert.h"
#include "device/vendor_envelope.h"

namespace {

constexpr uint32_t kLoopbackAddress = 0x7F000001;

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// AVN device names are compared without regard to letter case.
bool same_device_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ascii_lower(x) == ascii_lower(y);
           });
}

ConMonTransport* transport_of(conmon_client* client) {
    return static_cast<ConMonTransport*>(conmon_client_get_context(client));
}

}  // namespace

ConMonTransport::ConMonTransport(const wchar_t* device_name) {
    if (device_name != nullptr) {
        device_name_ = narrow_from_wide(device_name);
    }
}

ConMonTransport::~ConMonTransport() {
    close();
}

// ---- Callbacks (inside processing steps, with the AVN API mutex held) ----

void ConMonTransport::on_connection_state(conmon_client* client) {
    ConMonTransport* self = transport_of(client);
    self->connection_state_ = conmon_client_get_connection_state(client);
    if (self->open_ && self->connection_state_ != CONMON_CLIENT_CONNECTED) {
        self->link_down_now();
    }
}

// The server forgets us with the connection: renew once it is back. The
// time to restore the link counts from now also for a link that was only in
// doubt: the doubt lasts at most until the client's connection times out (a
// silent server), and the reconnect that follows needs the whole restore
// time of its own.
void ConMonTransport::link_down_now() {
    const Relink was = relink_;
    if (was == Relink::Up || was == Relink::Verifying) {
        link_down_at_ms_ = tick_count_ms();
    }
    relink_ = Relink::WaitingForClient;
    register_request_ = nullptr;
    subscribe_request_ = nullptr;
}

// Inside a domain, the client's registration, subscription and name lookups
// belong to the domain and its Domain Manager connection: a change of the
// domain, or the loss of that connection, ends them, and the client would
// reach the unit (if at all) by another road from then on. So the link is
// lost for good; the owner decides what to tell the user.
void ConMonTransport::on_client_event(const conmon_client_event* event) {
    conmon_client* client = conmon_client_event_get_client(event);
    ConMonTransport* self = transport_of(client);
    const uint32_t flags = conmon_client_event_get_flags(event);
    if (!self->open_ || self->link_lost_) {
        return;
    }
    const bool domain_changed =
        (flags & (CONMON_CLIENT_EVENT_DOMAIN_CHANGING | CONMON_CLIENT_EVENT_DOMAIN_CHANGED)) != 0;
    const bool manager_lost =
        self->through_domain_ &&
        (flags & (CONMON_CLIENT_EVENT_DOMAIN_CONNECTION | CONMON_CLIENT_EVENT_READY)) != 0 &&
        !conmon_client_is_ready(client);
    if (domain_changed || manager_lost) {
        self->link_lost_ = true;
    }
}

void ConMonTransport::on_register_response(conmon_client* client, conmon_client_request_id request,
                                           aud_error status) {
    ConMonTransport* self = transport_of(client);
    if (request == self->register_request_) {
        self->register_answered_ = true;
        self->register_status_ = status;
    }
}

void ConMonTransport::on_subscribe_response(conmon_client* client, conmon_client_request_id request,
                                            aud_error status) {
    ConMonTransport* self = transport_of(client);
    if (request == self->subscribe_request_) {
        self->subscribe_answered_ = true;
        self->subscribe_status_ = status;
    }
}

// Only the response to the latest send counts: a late answer to an earlier
// write that gave up waiting must not confirm the current one.
void ConMonTransport::on_send_response(conmon_client* client, conmon_client_request_id request,
                                       aud_error status) {
    ConMonTransport* self = transport_of(client);
    if (request == self->send_request_) {
        self->send_answered_ = true;
        self->send_status_ = status;
    }
}

void ConMonTransport::on_status_message(conmon_client* client, uint16_t channel_type,
                                        uint16_t direction, const conmon_message* message,
                                        const uint8_t* body) {
    transport_of(client)->capture(client, channel_type, direction, message, body);
}

void ConMonTransport::capture(conmon_client* client, uint16_t channel_type, uint16_t direction,
                              const conmon_message* message, const uint8_t* body) {
    if (channel_type != CONMON_CHANNEL_TYPE_STATUS || direction != CONMON_DIRECTION_REMOTE) {
        return;
    }
    const conmon_source source = conmon_message_source(message);
    const char* sender = conmon_client_device_name_for_source(client, &source);
    if (sender == nullptr || !device_name_ || !same_device_name(sender, *device_name_)) {
        return;
    }
    if (std::memcmp(conmon_message_vendor_id(message), kManufacturerId.data(),
                    kManufacturerId.size()) != 0) {
        return;
    }
    // Only the newest message is kept.
    captured_ = false;
    captured_message_.clear();
    try {
        captured_message_.assign(body, body + conmon_message_body_size(message));
    } catch (const std::bad_alloc&) {
        captured_message_ = {};
        return;
    }
    captured_ = true;
}

// ---- Operations ----

template <typename Done>
bool ConMonTransport::step_until(Done done, uint64_t deadline_ms) {
    avnapi_runtime* runtime = avnapi_get_runtime(avn_api_instance());
    while (!done()) {
        if (tick_count_ms() >= deadline_ms) {
            return false;
        }
        step_avn_events(runtime);
    }
    return true;
}

void ConMonTransport::release_client() {
    conmon_client_delete(client_);
    conmon_client_config_delete(config_);
    client_ = nullptr;
    config_ = nullptr;
}

bool ConMonTransport::open(uint32_t time_limit_ms) {
    if (open_) {
        return true;
    }
    const uint64_t deadline = tick_count_ms() + time_limit_ms;
    service_down_ = false;
    AvnApiLock lock(time_limit_ms);
    if (!lock) {
        return false;
    }
    avnapi* api = avn_api_instance();
    if (api == nullptr) {
        service_down_ = true;  // the AVN API did not start
        return false;
    }
    config_ = conmon_client_config_new(kClientName);
    if (config_ == nullptr) {
        return false;
    }
    aud_socket_address server{};
    aud_socket_address_set_ipv4(&server, kLoopbackAddress, avn_api_current_options().conmon_port);
    conmon_client_config_set_server_address(config_, &server);
    if (conmon_client_new(api, config_, &client_) != AUD_SUCCESS) {
        client_ = nullptr;
        release_client();
        return false;
    }
    conmon_client_set_context(client_, this);
    conmon_client_set_connection_state_callback(client_, on_connection_state);
    conmon_client_set_event_callback(client_, on_client_event);
    connection_state_ = conmon_client_get_connection_state(client_);
    link_lost_ = false;
    through_domain_ = conmon_client_in_managed_domain(client_);

    bool ok =
        conmon_client_connect(client_) == AUD_SUCCESS &&
        step_until([this] { return connection_state_ == CONMON_CLIENT_CONNECTED; }, deadline) &&
        step_until([this] { return conmon_client_is_ready(client_); }, deadline);
    // Not ready in time: the local server, or inside a managed domain the
    // Domain Manager connection, is missing.
    service_down_ = !ok;
    through_domain_ = conmon_client_in_managed_domain(client_);
    ok = ok && request_registration() &&
         step_until([this] { return register_answered_; }, deadline) &&
         register_status_ == AUD_SUCCESS;
    ok = ok && request_subscription() &&
         step_until([this] { return subscribe_answered_; }, deadline) &&
         subscribe_status_ == AUD_SUCCESS;
    if (!ok) {
        release_client();
        return false;
    }
    open_ = true;
    relink_ = Relink::Up;
    doubt_cleared_ = false;
    link_restored_ = false;
    return true;
}

bool ConMonTransport::request_registration() {
    register_answered_ = false;
    register_status_ = AUD_SUCCESS;
    register_request_ = nullptr;
    return conmon_client_register_monitoring_messages(
               client_, on_register_response, &register_request_, CONMON_CHANNEL_TYPE_STATUS,
               CONMON_DIRECTION_REMOTE, on_status_message) == AUD_SUCCESS;
}

bool ConMonTransport::request_subscription() {
    subscribe_answered_ = false;
    subscribe_status_ = AUD_SUCCESS;
    subscribe_request_ = nullptr;
    return conmon_client_subscribe(client_, on_subscribe_response, &subscribe_request_,
                                   CONMON_CHANNEL_TYPE_STATUS,
                                   device_name_ ? device_name_->c_str() : nullptr) == AUD_SUCCESS;
}

// Renews the registration and the subscription after a lost connection, one
// request at a time, without waiting: the answers arrive in later steps. A
// refusal (the unit is not back yet) is tried again a second later.
void ConMonTransport::keep_link() {
    constexpr uint64_t kRetryMs = 1000;
    if (!open_ || relink_ == Relink::Up || tick_count_ms() < next_relink_ms_) {
        return;
    }
    // A refused registration is asked for again; a refused subscription
    // alone, since the registration stands.
    const auto retry_later = [this](Relink from) {
        relink_ = from;
        next_relink_ms_ = tick_count_ms() + kRetryMs;
    };
    switch (relink_) {
        case Relink::Verifying:
            // Any answer from the server shows that it still knows the
            // client: the unit, not the link, missed the write.
            if (connection_state_ == CONMON_CLIENT_CONNECTED &&
                conmon_client_get_response_count(client_) != responses_at_doubt_) {
                relink_ = Relink::Up;
                doubt_cleared_ = true;
            }
            break;
        case Relink::WaitingForClient:
            if (connection_state_ == CONMON_CLIENT_CONNECTED && conmon_client_is_ready(client_)) {
                if (request_registration()) {
                    relink_ = Relink::Registering;
                } else {
                    retry_later(Relink::WaitingForClient);
                }
            }
            break;
        case Relink::Registering:
            if (!register_answered_) {
                break;
            }
            if (register_status_ != AUD_SUCCESS) {
                retry_later(Relink::WaitingForClient);
            } else if (request_subscription()) {
                relink_ = Relink::Subscribing;
            } else {
                retry_later(Relink::Registering);
            }
            break;
        case Relink::Subscribing:
            if (!subscribe_answered_) {
                break;
            }
            if (subscribe_status_ == AUD_SUCCESS) {
                relink_ = Relink::Up;
                link_restored_ = true;
            } else {
                retry_later(Relink::Registering);  // registered: subscribe again
            }
            break;
        case Relink::Up:
            break;
    }
}

std::optional<uint32_t> ConMonTransport::link_down_ms() const {
    if (!open_ || link_lost_ || relink_ == Relink::Up) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(tick_count_ms() - link_down_at_ms_);
}

bool ConMonTransport::take_link_restored() {
    return std::exchange(link_restored_, false);
}

bool ConMonTransport::close() {
    if (open_) {
        avn_api_lock_unbounded();
        conmon_client_disconnect(client_);
        release_client();
        open_ = false;
        avn_api_unlock();
    }
    // The client, and with it the capture handler, is gone: nothing else
    // touches the captured message now.
    captured_ = false;
    captured_message_ = {};
    return true;
}

bool ConMonTransport::write_channel(std::span<const uint8_t> message, uint32_t channel,
                                    uint32_t time_limit_ms) {
    if (!open_ || link_lost_ || message.size() > kMaxPayload) {
        return false;
    }
    AvnApiLock lock(std::max(time_limit_ms, kMinMutexWaitMs));
    if (!lock) {
        return false;
    }
    avnapi_runtime* runtime = avnapi_get_runtime(avn_api_instance());
    if (runtime == nullptr) {
        return false;  // the AVN API was stopped under the transport
    }
    std::array<uint8_t, kSendBufferSize> envelope;
    const size_t length = encode_vendor_envelope(channel, message, envelope);
    if (length == 0) {
        return false;
    }
    keep_link();
    if (relink_ != Relink::Up || link_lost_) {
        return false;  // nothing would reach the unit now
    }
    send_answered_ = false;
    send_status_ = AUD_SUCCESS;
    captured_ = false;
    captured_message_.clear();

    const uint64_t start = tick_count_ms();
    const aud_time timeout{static_cast<int32_t>(time_limit_ms / 1000),
                           static_cast<int32_t>((time_limit_ms % 1000) * 1000)};
    send_request_ = nullptr;
    const uint32_t responses_before = conmon_client_get_response_count(client_);
    if (conmon_client_send_control_message(
            client_, on_send_response, &send_request_,
            device_name_ ? device_name_->c_str() : nullptr, kMessageType, kManufacturerId.data(),
            envelope.data(), static_cast<uint16_t>(length), &timeout) != AUD_SUCCESS) {
        return false;
    }
    do {
        step_avn_events(runtime);
    } while (!send_answered_ && !link_lost_ && tick_count_ms() - start < time_limit_ms);
    if (link_lost_) {
        return false;  // a relayed answer after the loss says nothing of the unit
    }
    if (send_answered_) {
        if (send_status_ == AUD_SUCCESS) {
            doubt_cleared_ = false;
        }
        return send_status_ == AUD_SUCCESS;
    }
    doubt_after_silence(responses_before, start);
    return false;
}

// No answer at all to a write. If the server has not answered anything
// since it went out and the client still counts as connected, the server may
// have restarted unnoticed: the link is in doubt until it answers or the
// client finds the connection gone. Once a doubt was cleared by an answer,
// the next silence is the unit's.
void ConMonTransport::doubt_after_silence(uint32_t responses_before, uint64_t sent_at_ms) {
    const uint32_t responses = conmon_client_get_response_count(client_);
    if (relink_ != Relink::Up || connection_state_ != CONMON_CLIENT_CONNECTED ||
        responses != responses_before || doubt_cleared_ || through_domain_) {
        return;
    }
    responses_at_doubt_ = responses;
    link_down_at_ms_ = sent_at_ms;
    relink_ = Relink::Verifying;
}

size_t ConMonTransport::read_channel(std::span<uint8_t> buffer, uint32_t channel,
                                     uint32_t time_limit_ms) {
    if (!open_ || link_lost_) {
        return 0;
    }
    AvnApiLock lock(std::max(time_limit_ms, kMinMutexWaitMs));
    if (!lock) {
        return 0;
    }
    const uint64_t start = tick_count_ms();
    avnapi_runtime* runtime = avnapi_get_runtime(avn_api_instance());
    if (runtime == nullptr) {
        return 0;
    }
    while (!captured_ && !link_lost_) {
        step_avn_events(runtime);
        keep_link();
        if (tick_count_ms() - start >= time_limit_ms) {
            break;
        }
    }
    if (!captured_ || link_lost_) {
        return 0;
    }
    captured_ = false;
    const std::vector<uint8_t> message = std::move(captured_message_);
    captured_message_ = {};
    // Too short, a bad CRC, or a length field beyond the bytes received: the
    // message is discarded. So is one for another channel.
    const auto envelope = decode_vendor_envelope(message);
    if (!envelope || envelope->channel != channel) {
        return 0;
    }
    const size_t n = std::min(buffer.size(), envelope->payload.size());
    std::copy_n(envelope->payload.begin(), n, buffer.begin());
    return n;
}
