// The event loop of the AVN runtime: socket registrations, deferred calls and
// timers, all dispatched on the one thread that steps the loop.
//
// Registrations and timers changed from inside a callback are settled after
// the pass that called it: a registration added during dispatch is not
// called in the same pass, a removed one is not called again, and timers
// armed while timers are being processed are put in order afterwards.
#pragma once

#include <cstdint>

#include "avn/runtime/aud_error.h"
#include "avn/runtime/aud_time.h"
#include "avn/runtime/socket.h"

struct aud_event_loop;
struct aud_timer;

// Why a callback runs: the socket is ready, the timer expired, the call is due.
enum : aud_error { AUD_CAUSE_FIRED = 0 };

enum aud_direction : int {
    AUD_DIRECTION_READ = 0,
    AUD_DIRECTION_WRITE = 1,
    AUD_DIRECTION_EXCEPT = 2
};

// How aud_event_loop_set_socket treats an existing registration.
enum aud_set_socket_mode : int {
    AUD_SET_SOCKET_ADD_OR_REPLACE = 0,
    AUD_SET_SOCKET_REPLACE = 1,  // NOTFOUND without a registration
    AUD_SET_SOCKET_ADD = 2,      // ALREADY with one
};

using aud_socket_callback = void (*)(aud_error cause, aud_socket_t socket, int direction,
                                     void* context);
using aud_call_callback = void (*)(aud_error cause, aud_event_loop* loop, uint32_t handle,
                                   void* context);
using aud_timer_callback = void (*)(aud_error cause, aud_timer* timer);

aud_error aud_event_loop_new(aud_event_loop** out);
// Frees the loop, its registrations and the timers it created itself; timers
// made with aud_timer_new stay their creator's to delete.
void aud_event_loop_delete(aud_event_loop* loop);

// ---- Sockets ----

// Registers, replaces or (with no callback) removes the socket's registration
// for one direction; see aud_set_socket_mode.
aud_error aud_event_loop_set_socket(aud_event_loop* loop, aud_socket_t socket, int direction,
                                    aud_socket_callback callback, void* context, int mode);

// Adds the loop's read and write sockets to the sets (the exception direction
// is never exported) and adds the number that each set then holds to
// sets->count.
aud_error aud_event_loop_get_fdsets(aud_event_loop* loop, aud_fdsets* sets);
// The longest time the caller may wait before the next processing step:
// 60 seconds at most, until the first timer's expiry, zero with deferred calls
// queued or a timer overdue.
aud_time aud_event_loop_get_timeout(aud_event_loop* loop);
// Calls the registrations whose sockets are in the ready sets (read, then
// write) and settles the changes made meanwhile.
aud_error aud_event_loop_dispatch(aud_event_loop* loop, aud_fdsets* ready);
// One processing step: deferred calls, expired timers, deferred calls again.
// INVALIDSTATE while the loop is being destroyed.
aud_error aud_event_loop_step(aud_event_loop* loop);

// ---- Deferred calls ----

// Queues a call for the next run; *handle names it for aud_event_loop_cancel_call.
aud_error aud_event_loop_call_later(aud_event_loop* loop, uint32_t* handle,
                                    aud_call_callback callback, void* context);
// Cancels a queued call; NOTFOUND unless the handle names one with this very
// callback and context.
aud_error aud_event_loop_cancel_call(aud_event_loop* loop, uint32_t handle,
                                     aud_call_callback callback, void* context);

// ---- Timers ----

// An idle reusable timer: it stays allocated after firing until deleted.
aud_error aud_timer_new(aud_event_loop* loop, aud_timer_callback callback, void* context,
                        aud_timer** out);
// Arms for once at `at` plus `delay` (either may be none, not both).
aud_error aud_timer_start_once(aud_timer* timer, const aud_time* at, const aud_time* delay);
// Arms for every `interval` (> 0), first at `first` or one interval from now.
aud_error aud_timer_start_recurring(aud_timer* timer, const aud_time* first,
                                    const aud_time* interval);
// Creates and arms a timer that the loop frees after it fires once (or when
// it is deleted).
aud_error aud_event_loop_add_oneshot(aud_event_loop* loop, aud_timer_callback callback,
                                     const aud_time* at, const aud_time* delay, void* context,
                                     aud_timer** out);
aud_error aud_event_loop_add_recurring(aud_event_loop* loop, aud_timer_callback callback,
                                       const aud_time* first, const aud_time* interval,
                                       void* context, aud_timer** out);
// Stops a reusable timer (INVALIDPARAMETER for any other).
aud_error aud_timer_stop(aud_timer* timer);
// Frees the timer, or marks it to be freed once timers are processed.
aud_error aud_timer_delete(aud_timer* timer);
// True for a reusable timer that is armed (also when armed from a callback
// and not yet put in order).
bool aud_timer_is_running(const aud_timer* timer);
// The expiry, or none when the timer is stopped.
const aud_time* aud_timer_get_expiry(const aud_timer* timer);
void* aud_timer_get_context(const aud_timer* timer);
