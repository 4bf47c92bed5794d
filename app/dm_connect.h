// Logging in to and out of a Domain Manager through the AVN API: the connect
// procedure, run on the calling thread with the AVN API mutex held for its
// whole run, stepping the runtime itself while it waits for the domain
// handler. Progress and error lines go to standard output.
#pragma once

#include <cstdint>

#include "avn/runtime/aud_error.h"

struct avn_domain_handler;
struct avnapi_runtime;

inline constexpr size_t kDmLoginTextSize = 100;

// What the connect procedure is given. The texts are zero-terminated within
// their 100 bytes. The password is wiped when the record is destroyed.
struct DmLoginRecord {
    int enabled = 1;
    char address[kDmLoginTextSize] = {};
    uint16_t port = 0;
    char user_name[kDmLoginTextSize] = {};
    char password[kDmLoginTextSize] = {};
    char domain_name[kDmLoginTextSize] = {};

    DmLoginRecord() = default;
    ~DmLoginRecord();
    DmLoginRecord(const DmLoginRecord&) = delete;
    DmLoginRecord& operator=(const DmLoginRecord&) = delete;
};

// Copies a wide text into a 100-byte field in UTF-8, cut to at most 99
// bytes (never in the middle of a character). UTF-8, not the user's code
// page: the Domain Manager takes the form fields as UTF-8 (as tpx2ctl sends
// them), and a character outside the code page would otherwise become '?'.
void copy_login_text(char (&field)[kDmLoginTextSize], const wchar_t* text);

// The longest the whole procedure holds its caller (and the AVN API mutex).
// Each HTTPS exchange gives up on its own after 20 s (10 s to connect), so
// a silent server ends with its own error well within this; an honest
// Domain Manager needs a second or two.
inline constexpr uint32_t kDmConnectLimitMs = 25000;

// Sets the address or discovers the Domain Manager, identifies it and logs
// in. 0 when logged in (or when the record is not enabled); otherwise the
// failing step's error, and the handler is back where a login can start
// again (never left identifying, logging in or half connected). A
// keep_going flag that drops to 0 ends the waits.
aud_error run_dm_connect_procedure(const DmLoginRecord& record, avn_domain_handler* handler,
                                   avnapi_runtime* runtime, const volatile int* keep_going);

// 0 when the domain handler is connected to a Domain Manager, else NOTCONN.
// Waits for the AVN API mutex without limit.
aud_error check_domain_manager_connected();
// Logs out when connected, or abandons a login on its way, and waits
// (bounded) until the connection is closed.
aud_error log_out_domain_manager();
// Logs out first when connected, then runs the connect procedure. The texts
// are wide, as typed.
aud_error connect_domain_manager(const wchar_t* address, const wchar_t* user_name,
                                 const wchar_t* password, uint16_t port);

// Why the last login failed, as the domain handler tells it: a sentence for
// the user, or null when it has nothing to add.
const wchar_t* dm_failure_explanation();
