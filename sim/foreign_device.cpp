#include "sim/foreign_device.h"

namespace sim {

ForeignDevice::ForeignDevice(const ForeignDeviceSettings& settings, const conmon_source& source,
                             SimLog& log)
    : SimDevice(DeviceIdentity{settings.name, manufacturer_id_from_text(settings.maker),
                               settings.model, source}),
      log_(log) {}

std::vector<DeviceMessage> ForeignDevice::receive_control(const conmon_message* message) {
    const uint8_t* body = conmon_message_body(message);
    DeviceMessage echo;
    echo.body.assign(body, body + conmon_message_body_size(message));
    log_.line("device", "%s: echoing a %zu-byte control message under manufacturer ID \"%s\"",
              name().c_str(), echo.body.size(),
              manufacturer_id_text(identity().manufacturer_id).c_str());
    return {echo};
}

}  // namespace sim
