// A device on the simulated network as the conmon server sees it: its AVN
// device name, its manufacturer and model ids, the source (device id and
// process id) that its messages carry, and what it does with a control
// message addressed to it. TPX-2 units and devices of other makers derive
// from it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "avn/conmon/conmon_message.h"
#include "device/manufacturer.h"

namespace sim {

using ManufacturerId = std::array<uint8_t, CONMON_VENDOR_ID_SIZE>;

// The maker of the TPX-2 and its model, as the utility knows them.
inline constexpr ManufacturerId kVornixManufacturerId = ::kManufacturerId;
inline constexpr uint32_t kTpx2ModelId = ::kTpx2ModelId;
// The conmon message type of vendor-specific messages, both directions.
inline constexpr uint16_t kVendorMessageType = 0xFFFF;

// A maker's text as a manufacturer ID: at most 8 bytes, padded with zeros.
ManufacturerId manufacturer_id_from_text(std::string_view text);
// The text of an ID up to its first zero byte, for log lines.
std::string manufacturer_id_text(const ManufacturerId& id);

// AVN device names are matched without regard to letter case (ASCII), the
// way the client itself compares a sender's name with the one it asked for.
bool device_names_equal(std::string_view a, std::string_view b);

struct DeviceIdentity {
    std::string name;
    ManufacturerId manufacturer_id{};
    uint32_t model = 0;
    conmon_source source{};
};

// One message a device sends in answer: a conmon message body on a channel
// type (TPX-2 reports and replies are status messages).
struct DeviceMessage {
    uint16_t channel_type = CONMON_CHANNEL_TYPE_STATUS;
    std::vector<uint8_t> body;
};

class SimDevice {
  public:
    explicit SimDevice(DeviceIdentity identity) : identity_(std::move(identity)) {}
    virtual ~SimDevice() = default;
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    const DeviceIdentity& identity() const { return identity_; }
    const std::string& name() const { return identity_.name; }

    // "TPX-2", "device": for log lines.
    virtual const char* kind() const = 0;

    // Delivers a control message (validated: a whole conmon message) and
    // counts it. Returns what the device sends in answer, in order.
    std::vector<DeviceMessage> deliver_control(const conmon_message* message) {
        ++control_messages_;
        return receive_control(message);
    }
    uint32_t control_messages() const { return control_messages_; }

    // The sequence number for the next message the device sends: counts from
    // 1 and skips 0 when it wraps.
    uint16_t next_sequence();

    // Faults, applied by the conmon server. A muted device receives nothing
    // and sends nothing; a reply delay holds back what it sends.
    bool muted() const { return muted_; }
    void set_muted(bool muted) { muted_ = muted; }
    uint32_t reply_delay_ms() const { return reply_delay_ms_; }
    void set_reply_delay_ms(uint32_t delay) { reply_delay_ms_ = delay; }

  protected:
    virtual std::vector<DeviceMessage> receive_control(const conmon_message* message) = 0;

  private:
    DeviceIdentity identity_;
    uint32_t control_messages_ = 0;
    uint16_t sequence_ = 0;
    bool muted_ = false;
    uint32_t reply_delay_ms_ = 0;
};

}  // namespace sim
