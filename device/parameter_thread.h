// The one background thread that owns a connected unit's transport: it opens
// the link, asks for all values, turns every report into one notification per
// value and sends the changes the window queues. Process-wide; at most one
// runs at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "device/message_target.h"
#include "device/transport.h"

inline constexpr uint32_t kParameterOpenLimitMs = 5000;
inline constexpr uint32_t kParameterWriteLimitMs = 1000;
// How long a link that was lost while connected (the service that carries it
// restarted) may take to come back before the connection counts as failed.
inline constexpr uint32_t kLinkRestoreLimitMs = 15000;

// Takes ownership of an unopened transport. Stops a running thread first.
//
// While the transport restores a lost link, changes stay queued and are sent
// once it is back, after all values were asked for again. A link not back
// within kLinkRestoreLimitMs is reported as WM_APP_SEND_FAILED (wParam 0;
// lParam kLinkServiceDown when the service, not the unit, is missing), after
// which the thread only waits to be stopped. A link lost for good (its AVN
// domain changed or the Domain Manager connection dropped) is reported at
// once in the same way, with lParam kLinkDomainLost; a change in flight
// then counts as not delivered.
void start_parameter_thread(MessageTarget window, std::unique_ptr<ChannelTransport> transport);

// Waits for the thread without limit, frees the queue, closes and deletes the
// transport, then sends WM_APP_DISCONNECTED to the bound window. Does nothing
// when nothing runs.
void stop_parameter_thread();

// True while the running thread's link is down and being restored (or in
// doubt after an unanswered write): callers that wait for the unit's
// answers stop the clock meanwhile, since the thread reports a link that
// does not come back by itself. Call from the thread that starts and stops.
bool parameter_link_restoring();

// Appends a change for the thread to send; does nothing unless a thread was
// started and no stop was asked.
void queue_parameter_change(uint32_t command, uint32_t id, int32_t value);
