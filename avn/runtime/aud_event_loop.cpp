#include "avn/runtime/aud_event_loop.h"

#include <new>
#include <vector>

namespace {

constexpr uint32_t kSecondBatchBit = 0x80000000u;
constexpr int32_t kLongestWaitSeconds = 60;
constexpr size_t kInitialBatchRoom = 16;
constexpr int kDirections = 3;

enum RegistrationState : int { kActive = 0, kAddedDuringDispatch = 1, kRemovalPending = 2 };

enum TimerState : int {
    kArmed = 0,
    kAddedWhileProcessing = 1,
    kToBeFreed = 2,
    kFiredRecurring = 3,
    kRearmedWhileProcessing = 4,
    kStopped = 5,
};

constexpr uint32_t kTimerReusable = 1u << 0;

struct Registration {
    aud_socket_t socket;
    int direction;
    int state;
    bool in_set;  // false once the direction's set was full: never dispatched
    aud_socket_callback callback;
    void* context;
    Registration* prev;
    Registration* next;
};

struct Direction {
    Registration* head = nullptr;
    Registration* tail = nullptr;
    aud_fd_set set{};
};

struct DeferredCall {
    aud_call_callback callback;  // none once run or cancelled
    void* context;
};

}  // namespace

struct aud_timer {
    aud_event_loop* loop;  // none once the loop is gone
    aud_timer_callback callback;
    void* context;
    uint32_t flags;
    aud_time expiry;
    aud_time interval;  // zero for one-shot
    int state;
    bool in_list;          // in the loop's ordered list
    bool deleted;          // aud_timer_delete was called while timers were processed
    uint64_t armed_order;  // breaks ties between equal expiries
    aud_timer* prev;
    aud_timer* next;
    // Every timer of the loop, so that deleting the loop can reach them all.
    aud_timer* all_prev;
    aud_timer* all_next;
};

struct aud_event_loop {
    // Armed timers sorted by expiry; while timers are processed, also the
    // ones changed meanwhile (state not armed), settled after the walk.
    aud_timer* timers_head = nullptr;
    aud_timer* timers_tail = nullptr;
    aud_timer* all_timers = nullptr;
    bool processing_timers = false;
    uint64_t arm_counter = 0;

    Direction directions[kDirections];
    bool dispatching = false;

    std::vector<DeferredCall> batches[2];
    int current_batch = 0;

    bool stepping = false;
    bool destroying = false;
};

namespace {

bool is_zero_or_negative(aud_time t) {
    return aud_time_compare(t, aud_time{0, 0}) <= 0;
}

// ---- Registrations ----

Registration* find_registration(Direction& direction, aud_socket_t socket, bool pending) {
    for (Registration* r = direction.head; r != nullptr; r = r->next) {
        if (r->socket == socket && (r->state == kRemovalPending) == pending) {
            return r;
        }
    }
    return nullptr;
}

void unlink_registration(Direction& direction, Registration* r) {
    (r->prev != nullptr ? r->prev->next : direction.head) = r->next;
    (r->next != nullptr ? r->next->prev : direction.tail) = r->prev;
    r->prev = r->next = nullptr;
}

void free_registration(Direction& direction, Registration* r) {
    unlink_registration(direction, r);
    if (r->in_set) {
        aud_fd_set_remove(&direction.set, r->socket);
    }
    delete r;
}

void remove_registration(aud_event_loop* loop, Direction& direction, Registration* r) {
    if (loop->dispatching) {
        r->state = kRemovalPending;  // the walk may be standing on it
        return;
    }
    free_registration(direction, r);
}

aud_error add_registration(aud_event_loop* loop, Direction& direction, aud_socket_t socket,
                           int direction_index, aud_socket_callback callback, void* context) {
    const int state = loop->dispatching ? kAddedDuringDispatch : kActive;
    // Removed earlier in this pass and added again: the entry is still there.
    if (Registration* pending = find_registration(direction, socket, true)) {
        pending->state = state;
        pending->callback = callback;
        pending->context = context;
        return AUD_SUCCESS;
    }
    auto* r = new (std::nothrow) Registration{};
    if (r == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    r->socket = socket;
    r->direction = direction_index;
    r->state = state;
    r->callback = callback;
    r->context = context;
    r->in_set = aud_fd_set_add(&direction.set, socket);
    r->prev = direction.tail;
    (direction.tail != nullptr ? direction.tail->next : direction.head) = r;
    direction.tail = r;
    return AUD_SUCCESS;
}

void dispatch_direction(Direction& direction, aud_fd_set* ready) {
    // Nothing is unlinked during the walk, so `next` stays valid.
    for (Registration* r = direction.head; r != nullptr; r = r->next) {
        if (r->state != kActive || !r->in_set || !aud_fd_set_contains(ready, r->socket)) {
            continue;
        }
        aud_fd_set_remove(ready, r->socket);
        r->callback(AUD_CAUSE_FIRED, r->socket, r->direction, r->context);
    }
}

void settle_registrations(Direction& direction) {
    Registration* r = direction.head;
    while (r != nullptr) {
        Registration* next = r->next;
        if (r->state == kRemovalPending) {
            free_registration(direction, r);
        } else if (r->state == kAddedDuringDispatch) {
            r->state = kActive;
        }
        r = next;
    }
}

// ---- Deferred calls ----

bool has_queued_calls(const aud_event_loop* loop) {
    for (const DeferredCall& call : loop->batches[loop->current_batch]) {
        if (call.callback != nullptr) {
            return true;
        }
    }
    return false;
}

void run_deferred_calls(aud_event_loop* loop) {
    const int old = loop->current_batch;
    loop->current_batch = 1 - old;
    loop->batches[loop->current_batch].clear();
    std::vector<DeferredCall>& batch = loop->batches[old];
    const uint32_t batch_bit = old == 1 ? kSecondBatchBit : 0;
    // Calls queued meanwhile go to the other batch, so this one does not grow.
    for (size_t i = 0; i < batch.size(); ++i) {
        const DeferredCall call = batch[i];
        if (call.callback == nullptr) {
            continue;
        }
        batch[i].callback = nullptr;  // a cancel from now on finds nothing
        call.callback(AUD_CAUSE_FIRED, loop, static_cast<uint32_t>(i + 1) | batch_bit,
                      call.context);
    }
    batch.clear();
}

// ---- Timers ----

void unlink_timer(aud_event_loop* loop, aud_timer* t) {
    (t->prev != nullptr ? t->prev->next : loop->timers_head) = t->next;
    (t->next != nullptr ? t->next->prev : loop->timers_tail) = t->prev;
    t->prev = t->next = nullptr;
    t->in_list = false;
}

void append_timer(aud_event_loop* loop, aud_timer* t) {
    t->prev = loop->timers_tail;
    t->next = nullptr;
    (loop->timers_tail != nullptr ? loop->timers_tail->next : loop->timers_head) = t;
    loop->timers_tail = t;
    t->in_list = true;
}

// After every timer whose expiry is earlier or equal: equal expiries fire in
// the order of arming.
void insert_timer_in_order(aud_event_loop* loop, aud_timer* t) {
    aud_timer* after = loop->timers_tail;
    while (after != nullptr && aud_time_compare(after->expiry, t->expiry) > 0) {
        after = after->prev;
    }
    t->prev = after;
    t->next = after != nullptr ? after->next : loop->timers_head;
    (t->next != nullptr ? t->next->prev : loop->timers_tail) = t;
    (after != nullptr ? after->next : loop->timers_head) = t;
    t->in_list = true;
}

void forget_timer(aud_event_loop* loop, aud_timer* t) {
    (t->all_prev != nullptr ? t->all_prev->all_next : loop->all_timers) = t->all_next;
    if (t->all_next != nullptr) {
        t->all_next->all_prev = t->all_prev;
    }
}

void free_timer(aud_timer* t) {
    if (t->loop != nullptr) {
        if (t->in_list) {
            unlink_timer(t->loop, t);
        }
        forget_timer(t->loop, t);
    }
    delete t;
}

aud_error create_timer(aud_event_loop* loop, aud_timer_callback callback, void* context,
                       uint32_t flags, aud_timer** out) {
    auto* t = new (std::nothrow) aud_timer{};
    if (t == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    t->loop = loop;
    t->callback = callback;
    t->context = context;
    t->flags = flags;
    t->state = kStopped;
    t->all_next = loop->all_timers;
    if (loop->all_timers != nullptr) {
        loop->all_timers->all_prev = t;
    }
    loop->all_timers = t;
    *out = t;
    return AUD_SUCCESS;
}

void arm_timer(aud_timer* t, aud_time expiry, aud_time interval) {
    aud_event_loop* loop = t->loop;
    t->expiry = aud_time_normalise(expiry);
    t->interval = aud_time_normalise(interval);
    t->armed_order = ++loop->arm_counter;
    if (loop->processing_timers) {
        // Only noted now; put in order when the walk is over.
        if (t->in_list) {
            t->state = kRearmedWhileProcessing;
        } else {
            append_timer(loop, t);
            t->state = kAddedWhileProcessing;
        }
        return;
    }
    if (t->in_list) {
        unlink_timer(loop, t);
    }
    insert_timer_in_order(loop, t);
    t->state = kArmed;
}

aud_error check_armable(const aud_timer* t) {
    if (t == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (t->loop == nullptr || t->deleted || t->loop->destroying) {
        return AUD_ERR_INVALIDSTATE;
    }
    return AUD_SUCCESS;
}

aud_error once_expiry(const aud_time* at, const aud_time* delay, aud_time* out) {
    if (at == nullptr && delay == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const aud_time base = at != nullptr ? *at : aud_time_now();
    *out = delay != nullptr ? aud_time_add(base, *delay) : aud_time_normalise(base);
    return AUD_SUCCESS;
}

aud_error recurring_expiry(const aud_time* first, const aud_time* interval, aud_time* out) {
    if (interval == nullptr || is_zero_or_negative(*interval)) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    *out = first != nullptr ? aud_time_normalise(*first) : aud_time_add(aud_time_now(), *interval);
    return AUD_SUCCESS;
}

// Puts the timers changed during the walk back in order, in the order in
// which they were armed, and frees the ones marked for it. Allocates nothing:
// the changed timers are moved to a chain of their own first.
void settle_timers(aud_event_loop* loop) {
    aud_timer* changed = nullptr;  // sorted by armed_order, linked through `next`
    aud_timer* t = loop->timers_head;
    while (t != nullptr) {
        aud_timer* next = t->next;
        if (t->state != kArmed) {
            unlink_timer(loop, t);
            aud_timer** place = &changed;
            while (*place != nullptr && (*place)->armed_order < t->armed_order) {
                place = &(*place)->next;
            }
            t->next = *place;
            *place = t;
        }
        t = next;
    }
    while (changed != nullptr) {
        aud_timer* current = changed;
        changed = current->next;
        current->next = nullptr;
        if (current->state == kToBeFreed) {
            free_timer(current);
        } else if (current->state != kStopped) {
            insert_timer_in_order(loop, current);
            current->state = kArmed;
        }
    }
}

void run_expired_timers(aud_event_loop* loop, aud_time now) {
    loop->processing_timers = true;
    // Nothing is unlinked or freed during the walk (changes are only marked),
    // so `next` stays valid; timers armed meanwhile join the tail and are
    // skipped by their state.
    for (aud_timer* t = loop->timers_head; t != nullptr; t = t->next) {
        if (t->state != kArmed) {
            continue;
        }
        if (aud_time_compare(t->expiry, now) > 0) {
            break;
        }
        if (is_zero_or_negative(t->interval)) {
            t->state = (t->flags & kTimerReusable) != 0 ? kStopped : kToBeFreed;
            t->callback(AUD_CAUSE_FIRED, t);
        } else {
            t->state = kFiredRecurring;
            t->callback(AUD_CAUSE_FIRED, t);
            // From the step's time, not the old expiry: a late step delays
            // every later firing rather than bunching them up.
            if (t->state == kFiredRecurring) {
                t->expiry = aud_time_add(now, t->interval);
                t->armed_order = ++loop->arm_counter;
            }
        }
    }
    settle_timers(loop);
    loop->processing_timers = false;
}

}  // namespace

aud_error aud_event_loop_new(aud_event_loop** out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    auto* loop = new (std::nothrow) aud_event_loop{};
    if (loop == nullptr) {
        return AUD_ERR_NOMEMORY;
    }
    try {
        loop->batches[0].reserve(kInitialBatchRoom);
        loop->batches[1].reserve(kInitialBatchRoom);
    } catch (const std::bad_alloc&) {
        delete loop;
        return AUD_ERR_NOMEMORY;
    }
    *out = loop;
    return AUD_SUCCESS;
}

void aud_event_loop_delete(aud_event_loop* loop) {
    if (loop == nullptr) {
        return;
    }
    loop->destroying = true;
    for (Direction& direction : loop->directions) {
        while (direction.head != nullptr) {
            free_registration(direction, direction.head);
        }
    }
    // Reusable timers belong to whoever made them: they are detached and stay
    // valid for aud_timer_delete. The loop's own timers go with it.
    aud_timer* t = loop->all_timers;
    while (t != nullptr) {
        aud_timer* next = t->all_next;
        if ((t->flags & kTimerReusable) != 0 && !t->deleted) {
            t->loop = nullptr;
            t->in_list = false;
            t->prev = t->next = t->all_prev = t->all_next = nullptr;
            t->state = kStopped;
        } else {
            t->loop = nullptr;
            delete t;
        }
        t = next;
    }
    delete loop;
}

aud_error aud_event_loop_set_socket(aud_event_loop* loop, aud_socket_t socket, int direction,
                                    aud_socket_callback callback, void* context, int mode) {
    if (loop == nullptr || direction < 0 || direction >= kDirections ||
        socket == AUD_SOCKET_INVALID || mode < AUD_SET_SOCKET_ADD_OR_REPLACE ||
        mode > AUD_SET_SOCKET_ADD) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    Direction& table = loop->directions[direction];
    Registration* r = find_registration(table, socket, false);
    if (callback == nullptr) {
        if (r != nullptr) {
            remove_registration(loop, table, r);
        }
        return AUD_SUCCESS;
    }
    if (r != nullptr) {
        if (mode == AUD_SET_SOCKET_ADD) {
            return AUD_ERR_ALREADY;
        }
        r->callback = callback;
        r->context = context;
        return AUD_SUCCESS;
    }
    if (mode == AUD_SET_SOCKET_REPLACE) {
        return AUD_ERR_NOTFOUND;
    }
    return add_registration(loop, table, socket, direction, callback, context);
}

aud_error aud_event_loop_get_fdsets(aud_event_loop* loop, aud_fdsets* sets) {
    if (loop == nullptr || sets == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_fd_set* targets[] = {&sets->read, &sets->write};
    for (int d = 0; d < 2; ++d) {
        const aud_fd_set& registered = loop->directions[d].set;
        for (int32_t i = 0; i < registered.count; ++i) {
            aud_fd_set_add(targets[d], registered.sockets[i]);
        }
    }
    sets->count += sets->read.count + sets->write.count;
    return AUD_SUCCESS;
}

aud_time aud_event_loop_get_timeout(aud_event_loop* loop) {
    if (loop == nullptr) {
        return aud_time{kLongestWaitSeconds, 0};
    }
    if (has_queued_calls(loop)) {
        return aud_time{0, 0};
    }
    const aud_time now = aud_time_now();
    aud_time deadline = aud_time_add(now, aud_time{kLongestWaitSeconds, 0});
    for (const aud_timer* t = loop->timers_head; t != nullptr; t = t->next) {
        if (t->state == kArmed) {
            if (aud_time_compare(t->expiry, deadline) < 0) {
                deadline = t->expiry;
            }
            break;
        }
    }
    const aud_time remaining = aud_time_sub(deadline, now);
    return is_zero_or_negative(remaining) ? aud_time{0, 0} : remaining;
}

aud_error aud_event_loop_dispatch(aud_event_loop* loop, aud_fdsets* ready) {
    if (loop == nullptr || ready == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (loop->dispatching || loop->destroying) {
        return AUD_ERR_INVALIDSTATE;
    }
    loop->dispatching = true;
    dispatch_direction(loop->directions[AUD_DIRECTION_READ], &ready->read);
    dispatch_direction(loop->directions[AUD_DIRECTION_WRITE], &ready->write);
    for (Direction& direction : loop->directions) {
        settle_registrations(direction);
    }
    loop->dispatching = false;
    return AUD_SUCCESS;
}

aud_error aud_event_loop_step(aud_event_loop* loop) {
    if (loop == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (loop->destroying || loop->stepping) {
        return AUD_ERR_INVALIDSTATE;
    }
    loop->stepping = true;
    run_deferred_calls(loop);
    run_expired_timers(loop, aud_time_now());
    run_deferred_calls(loop);
    loop->stepping = false;
    return AUD_SUCCESS;
}

aud_error aud_event_loop_call_later(aud_event_loop* loop, uint32_t* handle,
                                    aud_call_callback callback, void* context) {
    if (loop == nullptr || callback == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    std::vector<DeferredCall>& batch = loop->batches[loop->current_batch];
    if (batch.size() >= (kSecondBatchBit - 1)) {
        return AUD_ERR_NOMEMORY;
    }
    try {
        batch.push_back(DeferredCall{callback, context});
    } catch (const std::bad_alloc&) {
        return AUD_ERR_NOMEMORY;
    }
    if (handle != nullptr) {
        *handle =
            static_cast<uint32_t>(batch.size()) | (loop->current_batch == 1 ? kSecondBatchBit : 0);
    }
    return AUD_SUCCESS;
}

aud_error aud_event_loop_cancel_call(aud_event_loop* loop, uint32_t handle,
                                     aud_call_callback callback, void* context) {
    if (loop == nullptr || handle == 0) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    const uint32_t position = handle & ~kSecondBatchBit;
    std::vector<DeferredCall>& batch = loop->batches[(handle & kSecondBatchBit) != 0 ? 1 : 0];
    if (position == 0 || position > batch.size()) {
        return AUD_ERR_NOTFOUND;
    }
    DeferredCall& call = batch[position - 1];
    if (call.callback == nullptr || call.callback != callback || call.context != context) {
        return AUD_ERR_NOTFOUND;
    }
    call.callback = nullptr;
    return AUD_SUCCESS;
}

aud_error aud_timer_new(aud_event_loop* loop, aud_timer_callback callback, void* context,
                        aud_timer** out) {
    if (loop == nullptr || callback == nullptr || out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (loop->destroying) {
        return AUD_ERR_INVALIDSTATE;
    }
    return create_timer(loop, callback, context, kTimerReusable, out);
}

aud_error aud_timer_start_once(aud_timer* timer, const aud_time* at, const aud_time* delay) {
    aud_error error = check_armable(timer);
    aud_time expiry{};
    if (error == AUD_SUCCESS) {
        error = once_expiry(at, delay, &expiry);
    }
    if (error == AUD_SUCCESS) {
        arm_timer(timer, expiry, aud_time{0, 0});
    }
    return error;
}

aud_error aud_timer_start_recurring(aud_timer* timer, const aud_time* first,
                                    const aud_time* interval) {
    aud_error error = check_armable(timer);
    aud_time expiry{};
    if (error == AUD_SUCCESS) {
        error = recurring_expiry(first, interval, &expiry);
    }
    if (error == AUD_SUCCESS) {
        arm_timer(timer, expiry, *interval);
    }
    return error;
}

// A timer that the loop frees after its last firing, armed at once.
static aud_error add_armed_timer(aud_event_loop* loop, aud_timer_callback callback, void* context,
                                 aud_time expiry, aud_time interval, aud_timer** out) {
    if (loop->destroying) {
        return AUD_ERR_INVALIDSTATE;
    }
    aud_timer* t = nullptr;
    const aud_error error = create_timer(loop, callback, context, 0, &t);
    if (error != AUD_SUCCESS) {
        return error;
    }
    arm_timer(t, expiry, interval);
    if (out != nullptr) {
        *out = t;
    }
    return AUD_SUCCESS;
}

aud_error aud_event_loop_add_oneshot(aud_event_loop* loop, aud_timer_callback callback,
                                     const aud_time* at, const aud_time* delay, void* context,
                                     aud_timer** out) {
    if (loop == nullptr || callback == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_time expiry{};
    const aud_error error = once_expiry(at, delay, &expiry);
    if (error != AUD_SUCCESS) {
        return error;
    }
    return add_armed_timer(loop, callback, context, expiry, aud_time{0, 0}, out);
}

aud_error aud_event_loop_add_recurring(aud_event_loop* loop, aud_timer_callback callback,
                                       const aud_time* first, const aud_time* interval,
                                       void* context, aud_timer** out) {
    if (loop == nullptr || callback == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_time expiry{};
    const aud_error error = recurring_expiry(first, interval, &expiry);
    if (error != AUD_SUCCESS) {
        return error;
    }
    return add_armed_timer(loop, callback, context, expiry, *interval, out);
}

aud_error aud_timer_stop(aud_timer* timer) {
    if (timer == nullptr || (timer->flags & kTimerReusable) == 0) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    if (timer->deleted) {
        return AUD_ERR_INVALIDSTATE;
    }
    aud_event_loop* loop = timer->loop;
    if (loop != nullptr && timer->in_list && !loop->processing_timers) {
        unlink_timer(loop, timer);
    }
    // While timers are processed a timer in the list is taken out afterwards.
    timer->state = kStopped;
    return AUD_SUCCESS;
}

aud_error aud_timer_delete(aud_timer* timer) {
    if (timer == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    aud_event_loop* loop = timer->loop;
    if (loop != nullptr && loop->processing_timers && timer->in_list) {
        timer->state = kToBeFreed;  // the walk may be standing on it
        timer->deleted = true;
        return AUD_SUCCESS;
    }
    free_timer(timer);
    return AUD_SUCCESS;
}

bool aud_timer_is_running(const aud_timer* timer) {
    if (timer == nullptr || (timer->flags & kTimerReusable) == 0 || timer->loop == nullptr) {
        return false;
    }
    switch (timer->state) {
        case kArmed:
        case kAddedWhileProcessing:
        case kFiredRecurring:
        case kRearmedWhileProcessing:
            return true;
        default:
            return false;
    }
}

const aud_time* aud_timer_get_expiry(const aud_timer* timer) {
    if (timer == nullptr || timer->loop == nullptr || timer->state == kStopped ||
        timer->state == kToBeFreed) {
        return nullptr;
    }
    return &timer->expiry;
}

void* aud_timer_get_context(const aud_timer* timer) {
    return timer != nullptr ? timer->context : nullptr;
}
