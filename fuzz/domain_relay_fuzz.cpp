// Packets that arrive over the Domain Manager connection: the relay's
// routing by the destination option, then the lookup service that the
// packet names, answering and dispatching what it reads.
#include <cstddef>
#include <cstdint>

#include "avn/api/domain_relay.h"
#include "avn/conmon/db_lookup.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/domain_provider.h"

namespace {

struct Harness {
    aud_env* env = nullptr;
    domain_provider* provider = nullptr;
    domain_listener* listener = nullptr;  // id 2
    db_lookup_service* lookups = nullptr;

    Harness() {
        aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env);
        domain_provider_ops ops{};
        ops.relay_send = [](void*, const uint8_t*, size_t) -> aud_error { return AUD_SUCCESS; };
        domain_provider_new(env, &ops, nullptr, &provider);
        domain_listener_new(
            provider, nullptr,
            [](domain_listener*, const uint8_t* data, size_t length, void* context) {
                db_lookup_service_receive(static_cast<Harness*>(context)->lookups, {data, length});
            },
            this, &listener);
        db_lookup_service_new(nullptr, listener, &lookups);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    // Keep one request outstanding so that results can find it.
    if (db_lookup_service_request_count(harness.lookups) == 0) {
        db_lookup_request_data request;
        request.flags = DB_LOOKUP_FLAG_MODE;
        request.mode = 1;
        db_lookup_start(harness.lookups, nullptr, nullptr, nullptr, &request);
    }
    domain_relay_receive(harness.provider, data, size);
    return 0;
}
