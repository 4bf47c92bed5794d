// A simulated TPX-2: it takes vendor-specific control messages of its maker,
// unwraps their vendor envelope and answers on the same envelope channel.
// Channel 1 carries the parameter messages (request all, set one, reports),
// channel 0 the framed command protocol, of which it answers the bootloader
// version (type 1) and the application version (type 9).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/frame_codec.h"
#include "device/parameters.h"
#include "sim/sim_device.h"
#include "sim/sim_log.h"

namespace sim {

// Values of ids 1 to 7, index 0 holding MicLf.
using ParameterValues = std::array<int32_t, kAllParameters.size()>;

// The values a unit starts with: those the utility shows while no unit is
// connected (equalisers 0 dB, Mode 0, MicSensitivity 4, MicGate 1).
ParameterValues default_parameter_values();

struct Tpx2UnitSettings {
    std::string name;
    uint16_t bootloader_version = 0x0205;       // major in the high byte: 2.5
    uint32_t application_version = 0x00010003;  // major in the high 16 bits: 1.3
    uint32_t model = kTpx2ModelId;
    ParameterValues parameters = default_parameter_values();
    // The managed domain (by name) the Domain Manager puts the unit in;
    // empty: none, the unit is reached only in the ad-hoc domain.
    std::string domain;
};

// What a unit did with the messages it received, for tests and logs.
struct UnitCounters {
    uint32_t ignored_messages = 0;    // another type, another maker, or a bad envelope
    uint32_t parameter_messages = 0;  // understood on channel 1
    uint32_t framed_commands = 0;     // complete frames on channel 0
    uint32_t messages_sent = 0;       // reports and framed replies
};

class Tpx2Unit : public SimDevice {
  public:
    Tpx2Unit(const Tpx2UnitSettings& settings, const conmon_source& source, SimLog& log);

    const char* kind() const override { return "TPX-2"; }

    uint16_t bootloader_version() const { return bootloader_version_; }
    uint32_t application_version() const { return application_version_; }
    const ParameterValues& parameters() const { return parameters_; }
    int32_t parameter(ParameterId id) const;
    const UnitCounters& counters() const { return counters_; }

    // A change made at the unit itself (its front panel): the value is taken
    // as it is, without a range check, and the unit reports it. Returns the
    // report to send.
    DeviceMessage change_parameter_locally(ParameterId id, int32_t value);

  protected:
    std::vector<DeviceMessage> receive_control(const conmon_message* message) override;

  private:
    std::vector<DeviceMessage> on_parameter_message(std::span<const uint8_t> payload);
    std::vector<DeviceMessage> on_framed_bytes(std::span<const uint8_t> payload);
    std::optional<std::vector<uint8_t>> framed_reply(std::span<const uint8_t> command);
    DeviceMessage report(std::span<const ParameterId> ids);
    DeviceMessage envelope_message(uint32_t channel, std::span<const uint8_t> payload);
    void ignore(const char* why);

    SimLog& log_;
    uint16_t bootloader_version_;
    uint32_t application_version_;
    ParameterValues parameters_;
    FrameDecoder decoder_;
    UnitCounters counters_;
};

}  // namespace sim
