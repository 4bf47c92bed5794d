// A stand-in for the Windows multicast DNS query functions, for systems that
// lack them (Wine has none): the same signatures and record layouts, built
// over our DNS-SD library. Each query runs a thread of its own that asks for
// the records and calls the query's callback with them, as the system does.
//
// A PTR query's result carries, as the system's answers do, the records a
// client needs next: the PTR record, the instance's SRV record and the
// address record of the SRV target. Other queries give one record per result.
// Records are freed with standin_free_records (DnsFree's signature).
#pragma once

#include <windows.h>
#include <windns.h>

#include "app/mdns_query.h"

DNS_STATUS WINAPI standin_start_multicast_query(PMDNS_QUERY_REQUEST request,
                                                PMDNS_QUERY_HANDLE handle);
// Returns once the query's thread has ended: no callback follows.
DNS_STATUS WINAPI standin_stop_multicast_query(PMDNS_QUERY_HANDLE handle);
VOID WINAPI standin_free_records(PVOID data, DNS_FREE_TYPE type);

MulticastDnsFunctions standin_multicast_dns_functions();
