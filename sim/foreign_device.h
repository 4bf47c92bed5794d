// A device of another maker. It understands nothing of the TPX-2's messages:
// every control message it receives comes back as a status message with the
// same body under its own manufacturer ID, so a test can check that the
// utility's transport ignores messages of another maker.
#pragma once

#include <string>

#include "sim/sim_device.h"
#include "sim/sim_log.h"

namespace sim {

struct ForeignDeviceSettings {
    std::string name;
    std::string maker;  // its manufacturer ID as text, at most 8 bytes
    uint32_t model = 0;
};

class ForeignDevice : public SimDevice {
  public:
    ForeignDevice(const ForeignDeviceSettings& settings, const conmon_source& source, SimLog& log);

    const char* kind() const override { return "device"; }

  protected:
    std::vector<DeviceMessage> receive_control(const conmon_message* message) override;

  private:
    SimLog& log_;
};

}  // namespace sim
