// The thin layer that ties DNS-SD operations into the runtime's event loop:
// a handle on the loop, service queries (the SRV and TXT records of one
// service instance, kept as lists that follow the adverts as they come and
// go), a synchronous host lookup with a time limit, the routine that
// processes one result, and the layer's own small log.
//
// Every DNS-SD operation has a socket of its own; its results are processed,
// and its callbacks run, only on the thread that steps the runtime.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/dnssd/dnssd.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_event_loop.h"
#include "avn/runtime/aud_format.h"
#include "avn/runtime/aud_time.h"

// Results of this layer beside aud_error values.
enum : int {
    DT_DNSSD_ERR_OTHER = -1,
    DT_DNSSD_ERR_TIMEDOUT = -246,
    DT_DNSSD_ERR_EMPTY_RECORD = -248,
    DT_DNSSD_ERR_NO_SLOT = -249,
    DT_DNSSD_ERR_NOMEMORY = -251,
    DT_DNSSD_ERR_REGISTER = -253,
    DT_DNSSD_ERR_QUERY = -254,
    DT_DNSSD_ERR_HANDLE = -255,
};

// Change flags of a service query, handed to its callback.
enum : uint32_t {
    DT_DNSSD_SRV_ADDED = 0x01,
    DT_DNSSD_SRV_REMOVED = 0x02,
    DT_DNSSD_TXT_ADDED = 0x10,
    DT_DNSSD_TXT_REMOVED = 0x20,
    DT_DNSSD_IN_CALLBACK = 0x100,
    DT_DNSSD_RELEASE_PENDING = 0x200,
};

enum : size_t { DT_DNSSD_HOST_NAME_SIZE = 71 };  // with the terminating zero

struct dt_dnssd_handle;
struct dt_dnssd_query;

// ---- Handle ----

// Flags bit 0 asks for shared mode, which is not supported: the handle is
// made non-shared (with a log line). -255 when it cannot be allocated.
int dnssd_init_shared(aud_event_loop* loop, dt_dnssd_handle** out, uint32_t flags);
// INVALIDPARAMETER for none; otherwise nothing runs in the background.
aud_error dt_dnssd_stop_processing(dt_dnssd_handle* handle);
// Release the handle's queries first.
void dt_dnssd_handle_delete(dt_dnssd_handle* handle);

// ---- Service queries ----

// Called once per batch of results that changed the lists, with the
// change flags and DT_DNSSD_IN_CALLBACK.
using dt_dnssd_query_callback = void (*)(dt_dnssd_query* query, void* user_data, uint32_t flags);

// Queries the SRV and TXT records of a full service instance name. None when
// the name is empty or a query cannot be made.
dt_dnssd_query* dt_dnssd_query_service(dt_dnssd_handle* handle, const char* full_name,
                                       dt_dnssd_query_callback callback, void* user_data);
// The target of the SRV record in slot 0: INVALIDSTATE unless `flags` (as
// handed to the callback) say an SRV record was added, INVALIDPARAMETER
// without a buffer, NODATA without a record or with a target that does not
// fit, INVALIDDATA when slot 0 is empty. The host name is written with a dot
// after every label ("unit.local."); `host` holds DT_DNSSD_HOST_NAME_SIZE bytes.
aud_error dt_dnssd_query_get_srv(const dt_dnssd_query* query, uint32_t flags, uint16_t* port,
                                 char* host);
// Inside the query's own callback it is only marked and freed when the
// callback returns; otherwise both record queries stop and it is freed.
void dt_dnssd_query_release(dt_dnssd_query* query);

// The records kept for a query: live count and each slot's content (for
// callers that read the TXT records, and for tests).
size_t dt_dnssd_query_record_count(const dt_dnssd_query* query, uint16_t rrtype);
size_t dt_dnssd_query_slot_count(const dt_dnssd_query* query, uint16_t rrtype);
// The rdata in a slot, or null for an empty one; with its interface mask and
// sequence number.
const uint8_t* dt_dnssd_query_slot(const dt_dnssd_query* query, uint16_t rrtype, size_t slot,
                                   uint16_t* length, uint32_t* interface_mask, uint32_t* sequence);

// A query with no DNS-SD operations behind it, fed only through
// dt_dnssd_query_reply: for tests, which must not start multicast DNS.
dt_dnssd_query* dt_dnssd_query_new_detached(const char* full_name, dt_dnssd_query_callback callback,
                                            void* user_data);

// The record callback of a query's record queries (exposed so that tests
// can feed it the batches a responder would produce).
void dt_dnssd_query_reply(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index,
                          DNSServiceErrorType error, const char* name, uint16_t rrtype,
                          uint16_t rrclass, uint16_t rdlen, const void* rdata, uint32_t ttl,
                          void* context);

// ---- Host lookup ----

// The first IPv4 address of the host, waiting at most the limit (none: 0.5 s)
// with the calling thread blocked. SUCCESS, NOTFOUND (no usable answer in
// time) or DNSSDFAIL.
aud_error dt_dnssd_gethostbyname(const char* host, uint8_t address[4], const aud_time* limit,
                                 bool force_multicast);

struct dt_dnssd_record_description {
    uint16_t rrtype;
    uint16_t rrclass;
    uint16_t rdlen;  // the rdata length an answer must have
};

aud_error dnssd_gethostbyname_body(const char* host, void* buffer,
                                   const dt_dnssd_record_description* description,
                                   const aud_time* limit, uint32_t interface_index,
                                   bool force_multicast);

// ---- Processing ----

// Processes the reference's pending results; the library's error (0 on success).
int dt_dns_sd_process_result(dt_dnssd_handle* handle, DNSServiceRef ref);
// Waits for one result (at most the limit, none: 0.5 s) and processes it:
// 0, -246 when the time ran out, -1 on another failure.
int dt_dnssd_sdref_process_one(DNSServiceRef ref, const aud_time* limit);

// ---- The layer's log ----

// Level 0 to 8: "No error" ... "Undefined error".
const char* dt_log_level_name(int level);

enum : uint32_t {
    DT_LOG_OUTPUT_STDOUT = 0x01,
    DT_LOG_OUTPUT_STDERR = 0x02,
    DT_LOG_OUTPUT_SYSTEM = 0x04,
    DT_LOG_OUTPUT_NETWORK = 0x10,
    DT_LOG_OUTPUT_FILE = 0x20,
};

struct dt_log_settings {
    int level = 4;         // overall threshold
    int stream_level = 4;  // threshold of the stream outputs
    uint32_t outputs = DT_LOG_OUTPUT_STDERR;
    bool timestamps = true;
    int network_level = 2;
};

// The process-wide settings (set them before any DNS-SD work starts).
dt_log_settings& dt_log_get_settings();
// Where the stream outputs go; tests point it at a capture. None restores
// standard output and standard error.
using dt_log_sink = void (*)(uint32_t output, const char* line, void* context);
void dt_log_set_sink(dt_log_sink sink, void* context);

// A message at or above the thresholds goes to each selected stream as
// "[timestamp ]LEVEL: text" with a line end.
void dt_log(int level, const char* format, ...) AUD_FORMAT_CHECK(2, 3);
