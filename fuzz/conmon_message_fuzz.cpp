// Datagrams from the local conmon server: validation must reject whatever a
// parser could not read safely, and every parser must stay inside the bytes.
#include <cstddef>
#include <cstdint>

#include "avn/conmon/conmon_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> message{data, size};
    if (conmon_protocol_validate(message) != 0) {
        return 0;
    }
    conmon_protocol_header header;
    conmon_protocol_read_header(message, &header);
    const uint16_t version = header.version;
    switch (header.opcode) {
        case CONMON_OPCODE_CONNECT: {
            conmon_connect_info info;
            if (conmon_protocol_kind(header.status) == CONMON_STATUS_RESPONSE) {
                conmon_parse_connect_response(message, version, &info);
            }
            break;
        }
        case CONMON_OPCODE_INTERFACES: {
            conmon_interface_record records[CONMON_MAX_INTERFACES];
            size_t count = 0;
            conmon_parse_interfaces(message, version, records, &count);
            break;
        }
        case CONMON_OPCODE_RX_MESSAGE:
        case CONMON_OPCODE_RX_NAMED_MESSAGE: {
            conmon_rx_message rx;
            if (conmon_parse_rx_message(message, &rx)) {
                // Validation promised a whole conmon message: touch its last byte.
                const conmon_message* m = conmon_message_from_bytes(rx.message.data());
                const uint16_t body = conmon_message_body_size(m);
                if (body > 0) {
                    volatile uint8_t last = conmon_message_body(m)[body - 1];
                    (void)last;
                }
            }
            break;
        }
        case CONMON_OPCODE_SUBSCRIPTIONS:
        case CONMON_OPCODE_SUBSCRIBE: {
            const size_t count = conmon_subscription_record_count(message, version);
            conmon_subscription_record record;
            for (size_t i = 0; i < count; ++i) {
                conmon_parse_subscription_record(message, version, i, &record);
            }
            break;
        }
        default:
            break;
    }
    conmon_request_fields fields;
    conmon_parse_request(message, &fields);
    return 0;
}
