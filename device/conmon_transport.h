// The transport to one TPX-2 through the AVN control-and-monitoring service:
// messages go out as vendor-specific control messages addressed to the unit's
// AVN device name under the maker's manufacturer ID, and come back as the
// unit's vendor-specific status messages, which the transport subscribes to
// and filters. Every message travels in a vendor envelope.
//
// All work happens under the AVN API mutex; while it waits for an answer the
// transport steps the AVN runtime itself. It keeps only the newest message
// captured from the unit, and every write discards one not yet read.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "avn/conmon/conmon_client.h"
#include "device/manufacturer.h"
#include "device/transport.h"

class ConMonTransport : public ChannelTransport {
public:
    static constexpr const char* kClientName = "vendor_controller";
    static constexpr uint16_t kMessageType = 0xFFFF;
    static constexpr size_t kSendBufferSize = 1448;
    static constexpr size_t kMaxPayload = kSendBufferSize - 12;
    static constexpr uint32_t kMinMutexWaitMs = 2000;

    // Keeps a narrow copy of the device name (in the user's code page);
    // opens nothing. A null name gives a transport that names no device.
    explicit ConMonTransport(const wchar_t* device_name);
    ~ConMonTransport() override;
    ConMonTransport(const ConMonTransport&) = delete;
    ConMonTransport& operator=(const ConMonTransport&) = delete;

    // Connects a conmon client of its own, registers for the status messages
    // of remote devices and subscribes to the unit's; every step, the wait
    // for the mutex included, counts against the one limit.
    bool open(uint32_t time_limit_ms) override;
    bool is_open() const override { return open_; }
    // The local conmon server did not accept the client within the open's
    // limit (nothing listens, or it never answers), the Domain Manager of the
    // managed domain is not connected, or the AVN API is not started; or,
    // while open, the lost connection is not back, or the link was lost with
    // its domain. Safe to ask from any thread.
    bool service_down() const override {
        return service_down_ || link_lost_ ||
               (open_ && connection_state_ != CONMON_CLIENT_CONNECTED);
    }
    // A domain change or the loss of the Domain Manager connection under an
    // open link: the conmon client forgets what it held in the domain, and
    // the unit would be reached, if at all, by another road.
    bool link_lost() const override { return link_lost_; }
    bool through_domain_manager() const override { return through_domain_; }
    bool close() override;
    // True when the local conmon service confirmed delivery within the
    // limit. Payloads above kMaxPayload bytes are refused.
    bool write_channel(std::span<const uint8_t> message, uint32_t channel,
                       uint32_t time_limit_ms) override;
    // The payload of the newest captured message when it is a valid envelope
    // for this channel (at most the buffer's size); 0 otherwise. A message for
    // another channel is consumed.
    size_t read_channel(std::span<uint8_t> buffer, uint32_t channel,
                        uint32_t time_limit_ms) override;
    const wchar_t* name() const override { return L"CONMON"; }

    // When the client's connection to the conmon server is lost while open
    // (the server restarted), the client connects again by itself but has
    // forgotten its registration and subscription. The transport renews
    // both once the client is ready again; the link counts as down until the
    // unit's subscription is confirmed. This upkeep runs inside every read
    // and write.
    //
    // A write that gets no answer at all while the client still counts as
    // connected puts the link in doubt: the server may have restarted
    // without the client noticing yet. The link then counts as down until
    // the server answers anything (it knows the client: the link is up
    // again, and the next write that goes unanswered is a plain failure) or
    // the client finds the connection gone (and renews it as above). Safe to
    // ask from any thread.
    std::optional<uint32_t> link_down_ms() const override;
    bool take_link_restored() override;

    const std::optional<std::string>& device_name() const { return device_name_; }

private:
    static void on_connection_state(conmon_client* client);
    static void on_client_event(const conmon_client_event* event);
    static void on_register_response(conmon_client* client, conmon_client_request_id request,
                                     aud_error status);
    static void on_subscribe_response(conmon_client* client, conmon_client_request_id request,
                                      aud_error status);
    static void on_send_response(conmon_client* client, conmon_client_request_id request,
                                 aud_error status);
    static void on_status_message(conmon_client* client, uint16_t channel_type, uint16_t direction,
                                  const conmon_message* message, const uint8_t* body);

    template <typename Done>
    bool step_until(Done done, uint64_t deadline_ms);
    bool request_registration();
    bool request_subscription();
    void keep_link();
    void link_down_now();
    void doubt_after_silence(uint32_t responses_before, uint64_t sent_at_ms);
    void capture(conmon_client* client, uint16_t channel_type, uint16_t direction,
                 const conmon_message* message, const uint8_t* body);
    void release_client();

    std::optional<std::string> device_name_;
    conmon_client_config* config_ = nullptr;
    conmon_client* client_ = nullptr;
    // Written under the AVN API mutex; read by the link questions from any
    // thread.
    std::atomic<int> connection_state_{CONMON_CLIENT_NO_CONNECTION};
    conmon_client_request_id subscribe_request_ = nullptr;
    bool subscribe_answered_ = false;
    aud_error subscribe_status_ = AUD_SUCCESS;
    conmon_client_request_id register_request_ = nullptr;
    bool register_answered_ = false;
    aud_error register_status_ = AUD_SUCCESS;
    conmon_client_request_id send_request_ = nullptr;
    bool send_answered_ = false;
    aud_error send_status_ = AUD_SUCCESS;
    bool captured_ = false;
    std::vector<uint8_t> captured_message_;
    std::atomic<bool> open_{false};
    std::atomic<bool> service_down_{false};
    std::atomic<bool> link_lost_{false};
    std::atomic<bool> through_domain_{false};
    // Link upkeep after a loss of the server connection, or while a write
    // went unanswered (Verifying).
    enum class Relink { Up, Verifying, WaitingForClient, Registering, Subscribing };
    std::atomic<Relink> relink_{Relink::Up};
    std::atomic<uint64_t> link_down_at_ms_{0};
    uint64_t next_relink_ms_ = 0;
    uint32_t responses_at_doubt_ = 0;
    // A doubt was cleared by the server's answer: the unit itself did not
    // answer, so the next unanswered write is not put in doubt again.
    bool doubt_cleared_ = false;
    bool link_restored_ = false;
};
