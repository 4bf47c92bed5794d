// Device browsing inside a managed domain: one open browse request to the
// Domain Manager's lookup service per start, whose device records update the
// browse's tree with the same TXT parsers as ad-hoc browsing. Used by
// db_browse; everything runs on the thread that steps the runtime.
#pragma once

#include <cstdint>

#include "avn/browse/db_browse.h"
#include "avn/conmon/db_lookup.h"

struct db_browse_tree;
struct db_domain_browse;
struct domain_listener;

enum : int {
    DB_DOMAIN_BROWSE_STOPPED = 0,
    DB_DOMAIN_BROWSE_WAITING = 1,  // started; no managed domain with a connected Domain Manager
    DB_DOMAIN_BROWSE_BROWSING = 2,
};

// The listener tells the current domain and the connection state.
aud_error db_domain_browse_new(aud_env* env, uint32_t types, db_browse_tree* tree,
                               db_lookup_service* lookups, domain_listener* listener,
                               db_domain_browse** out);
// Empties the tree and cancels the request when not stopped.
void db_domain_browse_delete(db_domain_browse* browser, bool callbacks);
// A given id becomes the filter; none leaves it as it was.
aud_error db_domain_browse_set_manufacturer_filter(db_domain_browse* browser, const uint8_t* id);
// INVALIDSTATE unless stopped; sends the browse request at once when the
// domain is ready (its failure returns with the browser stopped).
aud_error db_domain_browse_start(db_domain_browse* browser, const db_browse_config* config);
// INVALIDSTATE when stopped; returns the cancel's result.
aud_error db_domain_browse_stop(db_domain_browse* browser, bool callbacks);
// On every change of the Domain Manager connection state.
void db_domain_browse_connection_changed(db_domain_browse* browser);
int db_domain_browse_get_state(const db_domain_browse* browser);

// The browse request's result callback (owner: the browser).
void db_domain_browse_device_updated(void* owner, const db_domain_device_record* record);
