#include "sim/tpx2_unit.h"

#include <algorithm>
#include <cstring>

#include "avn/runtime/byte_order.h"
#include "device/framed_command.h"
#include "device/vendor_envelope.h"

namespace sim {

namespace {

constexpr uint32_t kFramedCommandChannel = 0;
constexpr uint32_t kParameterChannel = 1;

constexpr size_t kRequestAllSize = 1;
constexpr size_t kSetParameterSize = 6;
constexpr size_t kReportEntrySize = 5;
// Bit 7 of a framed command type marks a sequenced type, whose type byte is
// followed by a 32-bit sequence number.
constexpr uint8_t kSequencedType = 0x80;
constexpr size_t kSequenceSize = 4;
constexpr size_t kCrcSize = 2;

size_t parameter_index(ParameterId id) {
    return static_cast<size_t>(id) - 1;
}

}  // namespace

ParameterValues default_parameter_values() {
    ParameterValues values{};
    for (ParameterId id : kAllParameters) {
        values[parameter_index(id)] =
            value_for_index(static_cast<uint8_t>(id), disconnected_index(id));
    }
    return values;
}

Tpx2Unit::Tpx2Unit(const Tpx2UnitSettings& settings, const conmon_source& source, SimLog& log)
    : SimDevice(DeviceIdentity{settings.name, kVornixManufacturerId, settings.model, source}),
      log_(log),
      bootloader_version_(settings.bootloader_version),
      application_version_(settings.application_version),
      parameters_(settings.parameters) {}

int32_t Tpx2Unit::parameter(ParameterId id) const {
    return parameters_[parameter_index(id)];
}

std::vector<DeviceMessage> Tpx2Unit::receive_control(const conmon_message* message) {
    if (conmon_message_type(message) != kVendorMessageType) {
        ignore("not a vendor-specific message");
        return {};
    }
    if (std::memcmp(conmon_message_vendor_id(message), kVornixManufacturerId.data(),
                    kVornixManufacturerId.size()) != 0) {
        ignore("another maker's manufacturer ID");
        return {};
    }
    const std::span<const uint8_t> body(conmon_message_body(message),
                                        conmon_message_body_size(message));
    const std::optional<VendorEnvelope> envelope = decode_vendor_envelope(body);
    if (!envelope) {
        ignore("envelope too short, bad CRC or bad length");
        return {};
    }
    switch (envelope->channel) {
        case kParameterChannel:
            return on_parameter_message(envelope->payload);
        case kFramedCommandChannel:
            return on_framed_bytes(envelope->payload);
        default:
            ignore("envelope channel it does not serve");
            return {};
    }
}

std::vector<DeviceMessage> Tpx2Unit::on_parameter_message(std::span<const uint8_t> payload) {
    const auto request_all = static_cast<uint8_t>(ParameterMessageType::RequestAll);
    const auto set_parameter = static_cast<uint8_t>(ParameterMessageType::SetParameter);

    if (payload.size() == kRequestAllSize && payload[0] == request_all) {
        ++counters_.parameter_messages;
        log_.line("unit", "%s: RequestAll, reporting all %zu values", name().c_str(),
                  kAllParameters.size());
        return {report(kAllParameters)};
    }
    if (payload.size() == kSetParameterSize && payload[0] == set_parameter) {
        const uint8_t id = payload[1];
        const auto value = static_cast<int32_t>(byte_order::load_be32(&payload[2]));
        if (!is_known_parameter(id)) {
            ignore("SetParameter for an unknown parameter id");
            return {};
        }
        ++counters_.parameter_messages;
        // A value outside the parameter's range is clamped to the nearest
        // end, as a unit whose controls stop at their ends would, and the
        // report tells the sender what was applied.
        const auto parameter_id = static_cast<ParameterId>(id);
        const int32_t applied =
            std::clamp(value, parameter_min_value(parameter_id), parameter_max_value(parameter_id));
        parameters_[parameter_index(parameter_id)] = applied;
        log_.line("unit", "%s: SetParameter %s %d%s", name().c_str(), parameter_name(parameter_id),
                  applied, applied == value ? "" : " (clamped)");
        const ParameterId changed[] = {parameter_id};
        return {report(changed)};
    }
    ignore("not a parameter message it accepts");
    return {};
}

std::vector<DeviceMessage> Tpx2Unit::on_framed_bytes(std::span<const uint8_t> payload) {
    // The decoder keeps its state between envelopes, so a frame may arrive
    // in pieces; a feed stops at the first complete frame.
    if (!decoder_.feed(payload)) {
        return {};
    }
    decoder_.clear_complete();
    ++counters_.framed_commands;
    const std::span<const uint8_t> frame = decoder_.frame();
    const std::optional<std::vector<uint8_t>> reply =
        framed_reply(frame.first(frame.size() - kCrcSize));
    if (!reply) {
        return {};
    }
    std::array<uint8_t, kFrameBufferSize> framed{};
    const size_t length = encode_frame(*reply, framed);
    if (length == 0) {
        return {};
    }
    return {envelope_message(kFramedCommandChannel, std::span(framed).first(length))};
}

// The reply message (CRC appended) to a framed command without its CRC, or
// nothing for a command the unit does not answer.
std::optional<std::vector<uint8_t>> Tpx2Unit::framed_reply(std::span<const uint8_t> command) {
    const uint8_t type = command[0];
    const bool sequenced = (type & kSequencedType) != 0;
    const size_t head_size = 1 + (sequenced ? kSequenceSize : 0);
    if (command.size() < head_size) {
        ignore("sequenced framed command without its sequence number");
        return std::nullopt;
    }
    std::vector<uint8_t> reply(command.begin(),
                               command.begin() + static_cast<ptrdiff_t>(head_size));
    switch (type & ~kSequencedType) {
        case CMD_BOOTLOADER_VERSION:
            reply.push_back(static_cast<uint8_t>(bootloader_version_ >> 8));
            reply.push_back(static_cast<uint8_t>(bootloader_version_));
            log_.line("unit", "%s: framed command %u, bootloader version %u.%u", name().c_str(),
                      type, bootloader_version_ >> 8, bootloader_version_ & 0xFFu);
            break;
        case CMD_APPLICATION_VERSION: {
            uint8_t version[4];
            byte_order::store_le32(version, application_version_);
            reply.insert(reply.end(), std::begin(version), std::end(version));
            log_.line("unit", "%s: framed command %u, application version %u.%u", name().c_str(),
                      type, application_version_ >> 16, application_version_ & 0xFFFFu);
            break;
        }
        default:
            log_.line("unit", "%s: framed command %u not answered", name().c_str(), type);
            return std::nullopt;
    }
    const uint16_t crc = crc16_xmodem(reply);
    reply.push_back(static_cast<uint8_t>(crc));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    return reply;
}

DeviceMessage Tpx2Unit::change_parameter_locally(ParameterId id, int32_t value) {
    parameters_[parameter_index(id)] = value;
    log_.line("unit", "%s: %s set at the unit to %d", name().c_str(), parameter_name(id), value);
    const ParameterId changed[] = {id};
    return report(changed);
}

DeviceMessage Tpx2Unit::report(std::span<const ParameterId> ids) {
    std::vector<uint8_t> payload;
    payload.reserve(1 + ids.size() * kReportEntrySize);
    payload.push_back(static_cast<uint8_t>(ParameterMessageType::ParameterReport));
    for (ParameterId id : ids) {
        uint8_t value[4];
        byte_order::store_be32(value, static_cast<uint32_t>(parameter(id)));
        payload.push_back(static_cast<uint8_t>(id));
        payload.insert(payload.end(), std::begin(value), std::end(value));
    }
    return envelope_message(kParameterChannel, payload);
}

DeviceMessage Tpx2Unit::envelope_message(uint32_t channel, std::span<const uint8_t> payload) {
    DeviceMessage message;
    message.body.resize(payload.size() + kEnvelopeOverhead);
    message.body.resize(encode_vendor_envelope(channel, payload, message.body));
    ++counters_.messages_sent;
    return message;
}

void Tpx2Unit::ignore(const char* why) {
    ++counters_.ignored_messages;
    log_.line("unit", "%s: ignored a control message: %s", name().c_str(), why);
}

}  // namespace sim
