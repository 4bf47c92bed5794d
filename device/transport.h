// The link to one TPX-2: open, send whole messages, receive whole messages,
// close. It does not know what the messages mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

class Transport {
public:
    virtual ~Transport() = default;

    // Blocks for at most about the limit, counted from the call.
    virtual bool open(uint32_t time_limit_ms) = 0;
    virtual bool is_open() const { return false; }
    // True when the last open failed, or the open link is down, because the
    // service that carries the link does not answer, rather than the unit:
    // callers then blame the service, not the unit.
    virtual bool service_down() const { return false; }
    // Ends the link; does nothing on a closed transport. Always true.
    virtual bool close() { return true; }
    // While open, the link may be lost and restored by the transport itself
    // (the service that carries it restarted). Restoring: how long the link
    // has been down, in milliseconds; nullopt while it is up.
    virtual std::optional<uint32_t> link_down_ms() const { return std::nullopt; }
    // True once after the link came back: what the unit reported meanwhile
    // was lost, so its state should be asked for again.
    virtual bool take_link_restored() { return false; }
    // True once the open link is gone for good: the AVN domain it ran in
    // changed, or the Domain Manager connection that carried it dropped.
    // Such a link is not restored; nothing more is sent or received, and
    // service_down() is true as well.
    virtual bool link_lost() const { return false; }
    // True when the link runs, or was to run, through a managed AVN domain:
    // service_down() then means the Domain Manager, not the local service.
    virtual bool through_domain_manager() const { return false; }
    // True only when delivery was confirmed within the limit.
    virtual bool write(std::span<const uint8_t> message, uint32_t time_limit_ms) = 0;
    // Copies the next whole message (at most the buffer's size); 0 when none.
    // A limit of 0 polls once.
    virtual size_t read(std::span<uint8_t> buffer, uint32_t time_limit_ms) = 0;
    virtual const wchar_t* name() const = 0;

protected:
    Transport() = default;
    Transport(const Transport&) = default;
    Transport& operator=(const Transport&) = default;
};

// A transport whose messages travel on numbered envelope channels: channel 0
// carries the framed command protocol, channel 1 the parameter messages.
// Plain write and read use channel 0.
class ChannelTransport : public Transport {
public:
    static constexpr uint32_t kFramedCommandChannel = 0;
    static constexpr uint32_t kParameterChannel = 1;

    virtual bool write_channel(std::span<const uint8_t> message, uint32_t channel,
                               uint32_t time_limit_ms) = 0;
    virtual size_t read_channel(std::span<uint8_t> buffer, uint32_t channel,
                                uint32_t time_limit_ms) = 0;

    bool write(std::span<const uint8_t> message, uint32_t time_limit_ms) override {
        return write_channel(message, kFramedCommandChannel, time_limit_ms);
    }
    size_t read(std::span<uint8_t> buffer, uint32_t time_limit_ms) override {
        return read_channel(buffer, kFramedCommandChannel, time_limit_ms);
    }
};
