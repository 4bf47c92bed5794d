// Ad-hoc DNS-SD browsing: the sub-browser of a db_browse that finds the
// adverts of AVN devices on a network without a Domain Manager. For each
// service type of the types mask it runs one DNS-SD browse operation on all
// interfaces, maps every advert to one of the browse's networks, resolves
// each new instance (a bounded number at a time, each with a deadline),
// parses its TXT record and writes the result into the tree; withdrawn
// adverts remove the service. Everything runs in the environment's event
// loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "avn/browse/db_browse.h"
#include "avn/browse/db_browse_tree.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_error.h"
#include "avn/runtime/socket.h"

struct db_adhoc_browse;

enum : uint32_t { DB_ADHOC_DEFAULT_CONCURRENT_RESOLVES = 16 };

enum db_adhoc_state : int {
    DB_ADHOC_STATE_STOPPED = 0,
    DB_ADHOC_STATE_START_DELAY = 1,
    DB_ADHOC_STATE_BROWSING = 2,
};

using db_adhoc_sockets_changed = void (*)(db_browse* owner);

// INVALIDPARAMETER when the mask has no DNS-SD type; NOMEMORY.
aud_error db_adhoc_browse_new(aud_env* env, uint32_t types, db_browse_tree* tree,
                              db_adhoc_browse** out);
// Stop it first.
void db_adhoc_browse_delete(db_adhoc_browse* browser);
void db_adhoc_browse_set_owner(db_adhoc_browse* browser, db_browse* owner,
                               db_adhoc_sockets_changed sockets_changed, bool zero_port);

// Stores the id's subtype label (none: every manufacturer); used at the next
// start of the browse operations.
aud_error db_adhoc_browse_set_manufacturer_filter(db_adhoc_browse* browser,
                                                  const uint8_t* manufacturer_id);
// Browse operations plus concurrent resolves: INVALIDPARAMETER when not above
// the type count; INVALIDSTATE for a change while browsing.
aud_error db_adhoc_browse_set_socket_limit(db_adhoc_browse* browser, uint32_t limit);
// INVALIDSTATE unless stopped. A delay of 0 starts the browse operations at once.
aud_error db_adhoc_browse_start_config(db_adhoc_browse* browser, const db_browse_config* config,
                                       uint32_t start_delay_seconds);
aud_error db_adhoc_browse_start_continue(db_adhoc_browse* browser);
// Ends the browse operations and every resolve; empties the tree (with
// removal callbacks when asked).
void db_adhoc_browse_stop(db_adhoc_browse* browser, bool callbacks);
// One processing pass over the ready sockets.
aud_error db_adhoc_browse_process_fdset(db_adhoc_browse* browser, aud_fd_set* ready);

// ---- Inspection ----

int db_adhoc_browse_get_state(const db_adhoc_browse* browser);
uint32_t db_adhoc_browse_get_concurrent_resolves(const db_adhoc_browse* browser);
size_t db_adhoc_browse_get_running_resolves(const db_adhoc_browse* browser);
size_t db_adhoc_browse_get_waiting_resolves(const db_adhoc_browse* browser);
// The service type text of the row's browse operation ("_netaudio-cmc._udp.,Vornix").
const char* db_adhoc_browse_get_subtype_label(const db_adhoc_browse* browser);
// The interface index of a network as the browser holds it.
uint32_t db_adhoc_browse_get_interface_index(const db_adhoc_browse* browser, uint32_t network);
