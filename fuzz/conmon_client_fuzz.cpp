// Everything the local conmon server sends reaches the client's message
// processing: validation, responses matched to requests, events, received
// messages handed to handlers, subscription records merged into tables.
#include <cstddef>
#include <cstdint>

#include "avn/conmon/conmon_client_private.h"
#include "avn/api/avnapi.h"

namespace {

void on_message(conmon_client* client, uint16_t, uint16_t, const conmon_message* message,
                const uint8_t* body) {
    // Touch what a handler may rely on: the whole body and the sender's name.
    volatile uint8_t sum = 0;
    for (uint16_t i = 0; i < conmon_message_body_size(message); ++i) {
        sum = static_cast<uint8_t>(sum + body[i]);
    }
    const conmon_source source = conmon_message_source(message);
    (void)conmon_client_device_name_for_source(client, &source);
}

void on_done(conmon_client*, conmon_client_request_id, aud_error) {}

conmon_client* fuzz_client() {
    static conmon_client* client = [] {
        avnapi* instance = nullptr;
        avnapi_new(&instance);
        conmon_client_config* config = conmon_client_config_new("vendor_controller");
        conmon_client* created = nullptr;
        conmon_client_new(instance, config, &created);
        conmon_client_config_delete(config);
        for (auto& pair : created->handlers) {
            pair[CONMON_DIRECTION_LOCAL] = on_message;
            pair[CONMON_DIRECTION_REMOTE] = on_message;
        }
        return created;
    }();
    return client;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    conmon_client* client = fuzz_client();
    // Requests 1 to 4 are outstanding with the opcodes a client sends.
    const uint16_t opcodes[] = {CONMON_OPCODE_REGISTER, CONMON_OPCODE_SUBSCRIBE, CONMON_OPCODE_CONTROL,
                                CONMON_OPCODE_DEVICE_NAME};
    for (uint16_t i = 0; i < 4; ++i) {
        conmon_request_slot& slot = client->requests[i];
        slot = conmon_request_slot{true, CONMON_REQUEST_KIND_LOCAL, static_cast<uint16_t>(i + 1), opcodes[i], 0,
                                   on_done};
    }
    conmon_client_process_local_message(client, {data, size});
    return 0;
}
