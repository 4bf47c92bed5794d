// The device-lookup service: asks the Domain Manager, over the domain relay,
// for the devices of the current domain (by name, or every device of a maker)
// and routes its results to the request they belong to. The conmon client
// resolves device names with one; every browse keeps one for its domain
// device browser.
//
// Messages: lookup request 0x2009 (the Domain Manager may answer it in its
// reply), cancel 0x200A, result 0x200B (a request from the Domain Manager,
// answered with a status).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "avn/conmon/avn_packet.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/avn_domain.h"

struct domain_listener;
struct db_lookup_service;

enum : uint16_t {
    DB_LOOKUP_MESSAGE_REQUEST = 0x2009,
    DB_LOOKUP_MESSAGE_CANCEL = 0x200A,
    DB_LOOKUP_MESSAGE_RESULT = 0x200B,
};

// Flags of the request data.
enum : uint16_t {
    DB_LOOKUP_FLAG_MANUFACTURER = 0x1,
    DB_LOOKUP_FLAG_NAME = 0x2,
    DB_LOOKUP_FLAG_MODE = 0x4,
};

// Why a request ended.
enum : int {
    DB_LOOKUP_DONE_FINAL = 0,      // the Domain Manager sent the final result
    DB_LOOKUP_DONE_CANCELLED = 2,  // cancelled by the client
    DB_LOOKUP_DONE_REFUSED = 3,    // the request was answered with a non-zero status
};

inline constexpr size_t DB_LOOKUP_NAME_SIZE = 32;  // texts are shorter than this
inline constexpr size_t DB_LOOKUP_REQUEST_DATA_SIZE = 32;
inline constexpr size_t DB_LOOKUP_RESULT_DATA_SIZE = 24;

struct db_lookup_request_data {
    avn_domain_uuid domain{};
    uint32_t request_id = 0;  // set by db_lookup_start
    uint16_t flags = 0;
    char name[DB_LOOKUP_NAME_SIZE + 1] = {};  // with DB_LOOKUP_FLAG_NAME
    uint8_t manufacturer_id[8] = {};          // with DB_LOOKUP_FLAG_MANUFACTURER
    uint16_t mode = 0;                        // with DB_LOOKUP_FLAG_MODE
};

// Services a device record can carry, as bits of its service flags.
enum : uint32_t {
    DB_DOMAIN_SERVICE_MEDIA = 0x1,   // "_netaudio-arc._udp"
    DB_DOMAIN_SERVICE_CONMON = 0x2,  // "_netaudio-cmc._udp"
    DB_DOMAIN_SERVICE_VIA = 0x4,     // "_netaudio-via._tcp"
};

struct db_domain_service {
    const uint8_t* txt = nullptr;  // inside the message; valid during the callback
    uint16_t txt_length = 0;
    uint16_t port = 0;
};

// One device as a lookup result describes it.
struct db_domain_device_record {
    char name[DB_LOOKUP_NAME_SIZE] = {};
    bool has_info = false;
    uint8_t state = 0;  // 0, 1, 2, or 255
    avn_packet_address address;
    char host[DB_LOOKUP_NAME_SIZE] = {};
    uint8_t value64[2][8] = {};
    uint32_t value32[2] = {};
    uint32_t services = 0;
    db_domain_service media;
    db_domain_service conmon;
    db_domain_service via;
};

struct db_lookup_result {
    avn_domain_uuid domain{};
    uint32_t request_id = 0;
    bool final = false;
    bool has_record = false;
    db_domain_device_record record;
};

// Parses result data (of a 0x200B request or a 0x2009 reply); INVALIDDATA
// for anything that does not fit.
aud_error db_lookup_parse_result(const avn_packet_view& view, db_lookup_result* out);

using db_lookup_result_fn = void (*)(void* owner, const db_domain_device_record* record);
// `status`: the Domain Manager's answer with DB_LOOKUP_DONE_REFUSED, else 0.
using db_lookup_done_fn = void (*)(void* owner, int reason, uint16_t status);

// Sends and receives through `listener` (which stays the caller's).
aud_error db_lookup_service_new(void* owner, domain_listener* listener, db_lookup_service** out);
// Cancels every outstanding request without callbacks.
void db_lookup_service_delete(db_lookup_service* service);

// Assigns the request id (stored in `data`), sends the request. A send
// failure is returned and leaves the request outstanding.
aud_error db_lookup_start(db_lookup_service* service, void* owner, db_lookup_result_fn result,
                          db_lookup_done_fn done, db_lookup_request_data* data);
// Sends a cancel, ends the request with reason 2. NOTFOUND for an unknown id.
aud_error db_lookup_cancel(db_lookup_service* service, uint32_t request_id);
// Cancels every request, calling nobody. Every request is forgotten even when
// its cancel cannot be sent; the first send failure is returned.
aud_error db_lookup_cancel_all(db_lookup_service* service);
// One relayed packet for the service's listener.
aud_error db_lookup_service_receive(db_lookup_service* service, std::span<const uint8_t> packet);
size_t db_lookup_service_request_count(const db_lookup_service* service);
