#include "avn/runtime/aud_event_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avn/runtime/aud_env.h"
#include "avn/runtime/avnapi_runtime.h"

namespace {

// Time stands still unless a test moves it.
aud_time g_now{1000, 0};
aud_time test_clock() {
    return g_now;
}
aud_time ms(int64_t milliseconds) {
    return aud_time_from_milliseconds(milliseconds);
}
void advance(int64_t milliseconds) {
    g_now = aud_time_add(g_now, ms(milliseconds));
}

class EventLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = aud_time{1000, 0};
        aud_time_set_clock(test_clock);
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_EVENT_LOOP, &env), AUD_SUCCESS);
        loop = aud_env_get_event_loop(env);
        ASSERT_NE(loop, nullptr);
        ASSERT_EQ(avnapi_runtime_new(env, &runtime), AUD_SUCCESS);
    }
    void TearDown() override {
        avnapi_runtime_delete(runtime);
        aud_env_delete(env);
        aud_time_set_clock(nullptr);
    }

    aud_error step(aud_fdsets* sets = nullptr) { return avnapi_runtime_process(runtime, sets); }

    aud_time timeout() {
        aud_time t{-1, 0};
        EXPECT_EQ(avnapi_runtime_get_fdsets(runtime, nullptr, &t), AUD_SUCCESS);
        return t;
    }

    aud_env* env = nullptr;
    aud_event_loop* loop = nullptr;
    avnapi_runtime* runtime = nullptr;

  public:
    std::vector<std::string> fired;  // what ran, in order
};

// ---- Timers ----

// A timer whose context names what it records when it fires.
struct Named {
    EventLoop* test;
    std::string name;
};

void record_timer(aud_error cause, aud_timer* timer) {
    auto* named = static_cast<Named*>(aud_timer_get_context(timer));
    named->test->fired.push_back(named->name + (cause == AUD_CAUSE_FIRED ? "" : "?"));
}

TEST_F(EventLoop, EqualExpiriesFireInArmingOrderAndEarlierFirst) {
    Named a{this, "a"}, b{this, "b"}, early{this, "early"};
    const aud_time at = aud_time_add(g_now, ms(100));
    const aud_time before = aud_time_add(g_now, ms(50));
    ASSERT_EQ(aud_event_loop_add_oneshot(loop, record_timer, &at, nullptr, &a, nullptr),
              AUD_SUCCESS);
    ASSERT_EQ(aud_event_loop_add_oneshot(loop, record_timer, &at, nullptr, &b, nullptr),
              AUD_SUCCESS);
    ASSERT_EQ(aud_event_loop_add_oneshot(loop, record_timer, &before, nullptr, &early, nullptr),
              AUD_SUCCESS);

    advance(99);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"early"}));
    advance(1);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"early", "a", "b"}));
}

TEST_F(EventLoop, EqualExpiriesArmedFromCallbacksKeepArmingOrder) {
    // Timers armed while timers are processed are put in order afterwards,
    // still in the order of arming.
    struct Ctx {
        EventLoop* test;
        aud_timer* second;
        aud_timer* first;
    };
    Named first{this, "first"}, second{this, "second"};
    aud_timer* t_first = nullptr;
    aud_timer* t_second = nullptr;
    ASSERT_EQ(aud_timer_new(loop, record_timer, &first, &t_first), AUD_SUCCESS);
    ASSERT_EQ(aud_timer_new(loop, record_timer, &second, &t_second), AUD_SUCCESS);
    static Ctx ctx;
    ctx = Ctx{this, t_second, t_first};
    auto arm_both = [](aud_error, aud_timer* timer) {
        auto* c = static_cast<Ctx*>(aud_timer_get_context(timer));
        const aud_time at = aud_time_add(g_now, ms(10));
        aud_timer_start_once(c->first, &at, nullptr);
        aud_timer_start_once(c->second, &at, nullptr);
        c->test->fired.push_back("armer");
    };
    const aud_time delay = ms(1);
    ASSERT_EQ(aud_event_loop_add_oneshot(loop, arm_both, nullptr, &delay, &ctx, nullptr),
              AUD_SUCCESS);
    advance(1);
    ASSERT_EQ(step(), AUD_SUCCESS);
    advance(10);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"armer", "first", "second"}));
    aud_timer_delete(t_first);
    aud_timer_delete(t_second);
}

TEST_F(EventLoop, RecurringTimerRearmsFromTheStepsTimeNotItsOldExpiry) {
    Named r{this, "r"};
    aud_timer* timer = nullptr;
    const aud_time interval = ms(100);
    ASSERT_EQ(aud_event_loop_add_recurring(loop, record_timer, nullptr, &interval, &r, &timer),
              AUD_SUCCESS);
    const aud_time start = g_now;
    ASSERT_EQ(aud_time_compare(*aud_timer_get_expiry(timer), aud_time_add(start, ms(100))), 0);

    advance(140);  // the step comes 40 ms late
    ASSERT_EQ(step(), AUD_SUCCESS);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(aud_time_compare(*aud_timer_get_expiry(timer), aud_time_add(start, ms(240))), 0);

    advance(99);  // 239: not yet, although the old rhythm would be due at 200
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired.size(), 1u);
    advance(1);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired.size(), 2u);
    aud_timer_delete(timer);
}

TEST_F(EventLoop, ReusableOneShotSurvivesFiringAndOthersAreFreed) {
    Named n{this, "n"};
    aud_timer* reusable = nullptr;
    ASSERT_EQ(aud_timer_new(loop, record_timer, &n, &reusable), AUD_SUCCESS);
    EXPECT_FALSE(aud_timer_is_running(reusable));
    EXPECT_EQ(aud_timer_get_expiry(reusable), nullptr);

    const aud_time delay = ms(10);
    ASSERT_EQ(aud_timer_start_once(reusable, nullptr, &delay), AUD_SUCCESS);
    EXPECT_TRUE(aud_timer_is_running(reusable));
    // The loop's own one-shot frees itself after firing (ASan reports a
    // leak or a double free if it does not, or does twice).
    ASSERT_EQ(aud_event_loop_add_oneshot(loop, record_timer, nullptr, &delay, &n, nullptr),
              AUD_SUCCESS);
    advance(10);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired.size(), 2u);

    // Still allocated, stopped, and can be started again.
    EXPECT_FALSE(aud_timer_is_running(reusable));
    EXPECT_EQ(aud_timer_get_expiry(reusable), nullptr);
    ASSERT_EQ(aud_timer_start_once(reusable, nullptr, &delay), AUD_SUCCESS);
    advance(10);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired.size(), 3u);
    EXPECT_EQ(aud_timer_delete(reusable), AUD_SUCCESS);
}

TEST_F(EventLoop, TimerChangesInsideCallbacksAreSettledAfterThePass) {
    // A callback deletes a later timer that is due in the same pass, stops a
    // recurring one and deletes itself: none of them fires afterwards and
    // nothing is freed twice.
    struct Ctx {
        EventLoop* test;
        aud_timer* victim;
        aud_timer* recurring;
        aud_timer* self;
    };
    static Ctx ctx;
    Named victim_name{this, "victim"}, recurring_name{this, "recurring"};
    const aud_time delay = ms(5);
    ctx = Ctx{this, nullptr, nullptr, nullptr};
    ASSERT_EQ(aud_timer_new(
                  loop,
                  [](aud_error, aud_timer* timer) {
                      auto* c = static_cast<Ctx*>(aud_timer_get_context(timer));
                      c->test->fired.push_back("killer");
                      aud_timer_delete(c->victim);
                      aud_timer_stop(c->recurring);
                      aud_timer_delete(timer);
                  },
                  &ctx, &ctx.self),
              AUD_SUCCESS);
    ASSERT_EQ(aud_timer_start_once(ctx.self, nullptr, &delay), AUD_SUCCESS);
    ASSERT_EQ(
        aud_event_loop_add_oneshot(loop, record_timer, nullptr, &delay, &victim_name, &ctx.victim),
        AUD_SUCCESS);
    ASSERT_EQ(aud_timer_new(loop, record_timer, &recurring_name, &ctx.recurring), AUD_SUCCESS);
    ASSERT_EQ(aud_timer_start_recurring(ctx.recurring, nullptr, &delay), AUD_SUCCESS);

    advance(5);
    ASSERT_EQ(step(), AUD_SUCCESS);
    advance(50);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"killer"}));
    EXPECT_FALSE(aud_timer_is_running(ctx.recurring));
    aud_timer_delete(ctx.recurring);
}

TEST_F(EventLoop, TimerArgumentErrors) {
    aud_timer* timer = nullptr;
    ASSERT_EQ(aud_timer_new(loop, record_timer, nullptr, &timer), AUD_SUCCESS);
    const aud_time zero{0, 0};
    const aud_time negative{-1, 0};
    EXPECT_EQ(aud_timer_start_once(timer, nullptr, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_timer_start_recurring(timer, nullptr, &zero), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_timer_start_recurring(timer, nullptr, &negative), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_timer_start_recurring(timer, nullptr, nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_event_loop_add_oneshot(loop, record_timer, nullptr, nullptr, nullptr, nullptr),
              AUD_ERR_INVALIDPARAMETER);

    // Only reusable timers can be stopped.
    aud_timer* own = nullptr;
    const aud_time second{1, 0};
    ASSERT_EQ(aud_event_loop_add_recurring(loop, record_timer, nullptr, &second, nullptr, &own),
              AUD_SUCCESS);
    EXPECT_EQ(aud_timer_stop(own), AUD_ERR_INVALIDPARAMETER);
    EXPECT_FALSE(aud_timer_is_running(own));  // not reusable
    EXPECT_EQ(aud_timer_delete(own), AUD_SUCCESS);
    aud_timer_delete(timer);
}

TEST_F(EventLoop, ReusableTimersOutliveTheirLoop) {
    aud_timer* timer = nullptr;
    ASSERT_EQ(aud_timer_new(loop, record_timer, nullptr, &timer), AUD_SUCCESS);
    const aud_time delay = ms(5);
    ASSERT_EQ(aud_timer_start_once(timer, nullptr, &delay), AUD_SUCCESS);
    avnapi_runtime_delete(runtime);
    runtime = nullptr;
    aud_env_delete(env);
    env = nullptr;
    EXPECT_EQ(aud_timer_start_once(timer, nullptr, &delay), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(aud_timer_delete(timer), AUD_SUCCESS);
}

// ---- Deferred calls ----

struct CallCtx {
    EventLoop* test;
    std::string name;
    bool queue_another = false;
};

void record_call(aud_error, aud_event_loop* loop, uint32_t, void* context) {
    auto* c = static_cast<CallCtx*>(context);
    c->test->fired.push_back(c->name);
    if (c->queue_another) {
        static CallCtx follow;
        follow = CallCtx{c->test, c->name + "+", false};
        aud_event_loop_call_later(loop, nullptr, record_call, &follow);
    }
}

TEST_F(EventLoop, DeferredCallsRunInOrderAndCallsTheyQueueRunAtTheNextRun) {
    // The step runs the calls, the timers, and the calls again: a call queued
    // by a call of the first run runs in the second run of the same step; one
    // queued by the second run waits for the next step.
    CallCtx a{this, "a", true}, b{this, "b"};
    ASSERT_EQ(aud_event_loop_call_later(loop, nullptr, record_call, &a), AUD_SUCCESS);
    ASSERT_EQ(aud_event_loop_call_later(loop, nullptr, record_call, &b), AUD_SUCCESS);
    Named t{this, "timer"};
    const aud_time now = g_now;
    ASSERT_EQ(aud_event_loop_add_oneshot(loop, record_timer, &now, nullptr, &t, nullptr),
              AUD_SUCCESS);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"a", "b", "timer", "a+"}));

    fired.clear();
    CallCtx chain{this, "c", true};
    // Queued from a timer: runs in the step's second run and queues "c+",
    // which must wait for the next step.
    static CallCtx* pending;
    pending = &chain;
    ASSERT_EQ(aud_event_loop_add_oneshot(
                  loop,
                  [](aud_error, aud_timer* timer) {
                      aud_event_loop_call_later(
                          static_cast<aud_event_loop*>(aud_timer_get_context(timer)), nullptr,
                          record_call, pending);
                  },
                  &now, nullptr, loop, nullptr),
              AUD_SUCCESS);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"c"}));
    EXPECT_EQ(aud_time_compare(timeout(), aud_time{0, 0}), 0);  // "c+" is queued
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"c", "c+"}));
}

TEST_F(EventLoop, CancelNeedsTheVeryCallbackAndContext) {
    CallCtx a{this, "a"}, other{this, "other"};
    uint32_t first = 0;
    uint32_t second = 0;
    ASSERT_EQ(aud_event_loop_call_later(loop, &first, record_call, &a), AUD_SUCCESS);
    ASSERT_EQ(aud_event_loop_call_later(loop, &second, record_call, &a), AUD_SUCCESS);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);

    EXPECT_EQ(aud_event_loop_cancel_call(loop, first, record_call, &other), AUD_ERR_NOTFOUND);
    EXPECT_EQ(aud_event_loop_cancel_call(loop, 7, record_call, &a), AUD_ERR_NOTFOUND);
    EXPECT_EQ(aud_event_loop_cancel_call(loop, 0, record_call, &a), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_event_loop_cancel_call(loop, first, record_call, &a), AUD_SUCCESS);
    EXPECT_EQ(aud_event_loop_cancel_call(loop, first, record_call, &a), AUD_ERR_NOTFOUND);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"a"}));  // only the second
    EXPECT_EQ(aud_event_loop_call_later(loop, nullptr, nullptr, &a), AUD_ERR_INVALIDPARAMETER);
}

TEST_F(EventLoop, CallsQueuedDuringARunAreInTheSecondBatchAndCancellable) {
    // While the first batch runs, the second is current: its handles carry
    // bit 31, and cancelling one there keeps it from running.
    struct Ctx {
        EventLoop* test;
        CallCtx victim;
        uint32_t handle;
        aud_error cancelled;
    };
    static Ctx ctx;
    ctx = Ctx{this, CallCtx{this, "victim"}, 0, AUD_ERR_SYSTEM};
    ASSERT_EQ(aud_event_loop_call_later(
                  loop, nullptr,
                  [](aud_error, aud_event_loop* l, uint32_t, void* context) {
                      auto* c = static_cast<Ctx*>(context);
                      aud_event_loop_call_later(l, &c->handle, record_call, &c->victim);
                      c->cancelled =
                          aud_event_loop_cancel_call(l, c->handle, record_call, &c->victim);
                  },
                  &ctx),
              AUD_SUCCESS);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(ctx.handle, 0x80000001u);
    EXPECT_EQ(ctx.cancelled, AUD_SUCCESS);
    EXPECT_TRUE(fired.empty());
}

// ---- Timeout ----

TEST_F(EventLoop, TimeoutIsSixtySecondsAtMostZeroWithWorkAndNeverNegative) {
    EXPECT_EQ(aud_time_compare(timeout(), aud_time{60, 0}), 0);

    const aud_time in_two_seconds = ms(2500);
    aud_timer* timer = nullptr;
    ASSERT_EQ(aud_timer_new(loop, record_timer, nullptr, &timer), AUD_SUCCESS);
    ASSERT_EQ(aud_timer_start_once(timer, nullptr, &in_two_seconds), AUD_SUCCESS);
    EXPECT_EQ(aud_time_compare(timeout(), ms(2500)), 0);

    advance(4000);  // overdue
    EXPECT_EQ(aud_time_compare(timeout(), aud_time{0, 0}), 0);

    const aud_time far = ms(90000);
    ASSERT_EQ(aud_timer_start_once(timer, nullptr, &far), AUD_SUCCESS);
    EXPECT_EQ(aud_time_compare(timeout(), aud_time{60, 0}), 0);

    CallCtx a{this, "a"};
    uint32_t handle = 0;
    ASSERT_EQ(aud_event_loop_call_later(loop, &handle, record_call, &a), AUD_SUCCESS);
    EXPECT_EQ(aud_time_compare(timeout(), aud_time{0, 0}), 0);
    aud_timer_delete(timer);
}

// ---- Socket registrations ----
// Dispatch never touches the sockets themselves, so plain numbers do.

struct SocketLog {
    std::vector<std::string>* fired;
    aud_event_loop* loop;
};

void record_socket(aud_error, aud_socket_t socket, int direction, void* context) {
    auto* log = static_cast<SocketLog*>(context);
    std::string entry = direction == AUD_DIRECTION_READ ? "r" : "w";
    entry += std::to_string(socket);
    log->fired->push_back(entry);
}

aud_fdsets* ready(std::initializer_list<aud_socket_t> read,
                  std::initializer_list<aud_socket_t> write = {}) {
    static aud_fdsets sets;
    aud_fdsets_clear(&sets);
    for (aud_socket_t s : read) {
        aud_fd_set_add(&sets.read, s);
    }
    for (aud_socket_t s : write) {
        aud_fd_set_add(&sets.write, s);
    }
    return &sets;
}

TEST_F(EventLoop, ReadySocketsAreDispatchedReadThenWriteInRegistrationOrder) {
    SocketLog log{&fired, loop};
    ASSERT_EQ(aud_event_loop_set_socket(loop, 12, 1, record_socket, &log, 0), AUD_SUCCESS);
    ASSERT_EQ(aud_event_loop_set_socket(loop, 11, 0, record_socket, &log, 0), AUD_SUCCESS);
    ASSERT_EQ(aud_event_loop_set_socket(loop, 10, 0, record_socket, &log, 0), AUD_SUCCESS);
    ASSERT_EQ(aud_event_loop_set_socket(loop, 13, 2, record_socket, &log, 0), AUD_SUCCESS);

    aud_fdsets exported{};
    ASSERT_EQ(avnapi_runtime_get_fdsets(runtime, &exported, nullptr), AUD_SUCCESS);
    EXPECT_EQ(exported.count, 3);  // the exception direction is not exported
    EXPECT_TRUE(aud_fd_set_contains(&exported.read, 10));
    EXPECT_TRUE(aud_fd_set_contains(&exported.read, 11));
    EXPECT_TRUE(aud_fd_set_contains(&exported.write, 12));

    ASSERT_EQ(step(ready({10, 11, 99}, {12})), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"r11", "r10", "w12"}));
}

TEST_F(EventLoop, SetSocketModes) {
    SocketLog log{&fired, loop};
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 0, record_socket, &log, 1), AUD_ERR_NOTFOUND);
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 0, record_socket, &log, 2), AUD_SUCCESS);
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 0, record_socket, &log, 2), AUD_ERR_ALREADY);
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 0, record_socket, &log, 1), AUD_SUCCESS);
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 0, record_socket, &log, 0), AUD_SUCCESS);
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 1, record_socket, &log, 1), AUD_ERR_NOTFOUND);
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 3, record_socket, &log, 0),
              AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(aud_event_loop_set_socket(loop, AUD_SOCKET_INVALID, 0, record_socket, &log, 0),
              AUD_ERR_INVALIDPARAMETER);
    // No callback removes, and removing what is not there is no error.
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 0, nullptr, nullptr, 1), AUD_SUCCESS);
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 0, nullptr, nullptr, 1), AUD_SUCCESS);
    EXPECT_EQ(aud_event_loop_set_socket(loop, 5, 0, record_socket, &log, 1), AUD_ERR_NOTFOUND);
    ASSERT_EQ(step(ready({5})), AUD_SUCCESS);
    EXPECT_TRUE(fired.empty());
}

struct Juggler {
    std::vector<std::string>* fired;
    aud_event_loop* loop;
};

// Socket 1 removes itself and socket 3, and registers socket 2.
void juggle(aud_error cause, aud_socket_t socket, int direction, void* context) {
    auto* j = static_cast<Juggler*>(context);
    std::string entry = "r";
    entry += std::to_string(socket);
    j->fired->push_back(entry);
    if (socket == 1) {
        aud_event_loop_set_socket(j->loop, 1, direction, nullptr, nullptr, 0);
        aud_event_loop_set_socket(j->loop, 3, direction, nullptr, nullptr, 0);
        aud_event_loop_set_socket(j->loop, 2, direction, juggle, j, 2);
    }
    (void)cause;
}

TEST_F(EventLoop, RegistrationsChangedInACallbackAreSettledAfterThePass) {
    Juggler j{&fired, loop};
    ASSERT_EQ(aud_event_loop_set_socket(loop, 1, 0, juggle, &j, 2), AUD_SUCCESS);
    ASSERT_EQ(aud_event_loop_set_socket(loop, 3, 0, juggle, &j, 2), AUD_SUCCESS);

    // All three are ready: 1 runs, 3 was removed by it, 2 is new this pass.
    ASSERT_EQ(step(ready({1, 2, 3})), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"r1"}));

    fired.clear();
    ASSERT_EQ(step(ready({1, 2, 3})), AUD_SUCCESS);
    EXPECT_EQ(fired, (std::vector<std::string>{"r2"}));

    aud_fdsets exported{};
    ASSERT_EQ(avnapi_runtime_get_fdsets(runtime, &exported, nullptr), AUD_SUCCESS);
    ASSERT_EQ(exported.read.count, 1);
    EXPECT_EQ(exported.read.sockets[0], 2);
}

TEST_F(EventLoop, RegistrationsBeyondTheSetSizeAreNeverDispatched) {
    SocketLog log{&fired, loop};
    for (aud_socket_t s = 1; s <= AUD_FD_SET_SIZE + 1; ++s) {
        ASSERT_EQ(aud_event_loop_set_socket(loop, s, 0, record_socket, &log, 2), AUD_SUCCESS);
    }
    static aud_fdsets exported;
    aud_fdsets_clear(&exported);
    ASSERT_EQ(avnapi_runtime_get_fdsets(runtime, &exported, nullptr), AUD_SUCCESS);
    EXPECT_EQ(exported.read.count, AUD_FD_SET_SIZE);
    EXPECT_FALSE(aud_fd_set_contains(&exported.read, AUD_FD_SET_SIZE + 1));
    ASSERT_EQ(step(ready({AUD_FD_SET_SIZE + 1})), AUD_SUCCESS);
    EXPECT_TRUE(fired.empty());
}

// ---- Runtime handle ----

TEST_F(EventLoop, ProcessingRefusesReentry) {
    struct Ctx {
        avnapi_runtime* runtime;
        aud_error nested;
    };
    static Ctx ctx;
    ctx = Ctx{runtime, AUD_SUCCESS};
    ASSERT_EQ(aud_event_loop_call_later(
                  loop, nullptr,
                  [](aud_error, aud_event_loop*, uint32_t, void* context) {
                      auto* c = static_cast<Ctx*>(context);
                      c->nested = avnapi_runtime_process(c->runtime, nullptr);
                  },
                  &ctx),
              AUD_SUCCESS);
    ASSERT_EQ(step(), AUD_SUCCESS);
    EXPECT_EQ(ctx.nested, AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(avnapi_runtime_process(nullptr, nullptr), AUD_ERR_INVALIDPARAMETER);
}

TEST(Runtime, AnEnvironmentWithoutALoopCannotBeProcessed) {
    aud_env* env = nullptr;
    ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG, &env), AUD_SUCCESS);
    avnapi_runtime* runtime = nullptr;
    ASSERT_EQ(avnapi_runtime_new(env, &runtime), AUD_SUCCESS);
    EXPECT_EQ(avnapi_runtime_process(runtime, nullptr), AUD_ERR_INVALIDSTATE);
    avnapi_runtime_delete(runtime);
    aud_env_delete(env);
}

}  // namespace
