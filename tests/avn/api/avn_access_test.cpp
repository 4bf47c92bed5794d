#include "avn/api/avn_access.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>
#include <vector>

#include "avn/runtime/aud_event_loop.h"
#include "sim/cmm/connection_manager.h"
#include "tests/avn/domain/closed_port_probe.h"
#include "tests/avn/runtime/fake_cmm_service.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// An environment with an event loop and its runtime handle, without the rest
// of an instance: nothing registers sockets or timers unless a test does.
class Runtime {
public:
    Runtime() {
        aud_env_acquire(&global_env_);  // starts the socket layer where it needs starting
        aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_);
        avnapi_runtime_new(env_, &runtime_);
    }
    ~Runtime() {
        avnapi_runtime_delete(runtime_);
        aud_env_delete(env_);
        aud_env_release(global_env_);
    }
    avnapi_runtime* get() const { return runtime_; }
    aud_event_loop* loop() const { return aud_env_get_event_loop(env_); }

private:
    aud_env* global_env_ = nullptr;
    aud_env* env_ = nullptr;
    avnapi_runtime* runtime_ = nullptr;
};

// ---- Processing steps ----

struct StepCase {
    const char* name;
    aud_error (*step)(avnapi_runtime*);
    int timer_ms;  // a one-shot timer this far ahead, or none (-1)
    int min_ms;
    int max_ms;
};

class StepWait : public ::testing::TestWithParam<StepCase> {};

// With no sockets the step sleeps: for the runtime's own wait when that is
// shorter, else for the cap (100 ms, or 1 s for the long variant).
TEST_P(StepWait, SleepsForTheShorterOfTheRuntimesWaitAndTheCap) {
    const StepCase& c = GetParam();
    Runtime runtime;
    aud_timer* timer = nullptr;
    bool fired = false;
    if (c.timer_ms >= 0) {
        const aud_time delay = aud_time_from_milliseconds(c.timer_ms);
        ASSERT_EQ(aud_event_loop_add_oneshot(
                      runtime.loop(),
                      [](aud_error, aud_timer* t) {
                          *static_cast<bool*>(aud_timer_get_context(t)) = true;
                      },
                      nullptr, &delay, &fired, &timer),
                  AUD_SUCCESS);
    }
    const auto start = Clock::now();
    EXPECT_EQ(c.step(runtime.get()), AUD_SUCCESS);
    const auto elapsed = since(start).count();
    EXPECT_GE(elapsed, c.min_ms);
    EXPECT_LE(elapsed, c.max_ms);
    if (c.timer_ms >= 0) {
        // A timer due before the cap has fired by the end of the step.
        EXPECT_EQ(fired, c.timer_ms < c.max_ms) << elapsed << " ms";
    }
}

aud_error step_short(avnapi_runtime* r) {
    return step_avn_events(r);
}
aud_error step_long(avnapi_runtime* r) {
    return step_avn_events_long(r);
}

INSTANTIATE_TEST_SUITE_P(AvnAccess, StepWait,
                         ::testing::Values(StepCase{"short_idle", step_short, -1, 95, 250},
                                           StepCase{"short_timer_sooner", step_short, 30, 25, 95},
                                           StepCase{"short_timer_later", step_short, 5000, 95, 250},
                                           StepCase{"long_idle", step_long, -1, 990, 1250},
                                           StepCase{"long_timer_sooner", step_long, 300, 290, 600}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(AvnAccessStep, DeferredCallRunsWithoutWaiting) {
    Runtime runtime;
    bool called = false;
    uint32_t handle = 0;
    ASSERT_EQ(
        aud_event_loop_call_later(
            runtime.loop(), &handle,
            [](aud_error, aud_event_loop*, uint32_t, void* c) { *static_cast<bool*>(c) = true; },
            &called),
        AUD_SUCCESS);
    const auto start = Clock::now();
    EXPECT_EQ(step_avn_events_long(runtime.get()), AUD_SUCCESS);
    EXPECT_LT(since(start).count(), 50);
    EXPECT_TRUE(called);
}

TEST(AvnAccessStep, WaitingDatagramEndsTheWaitAndIsDispatched) {
    Runtime runtime;
    aud_socket_t receiver = AUD_SOCKET_INVALID;
    ASSERT_EQ(aud_socket_open_udp(&receiver, AUD_AF_INET), AUD_SUCCESS);
    aud_socket_address address{};
    aud_socket_address_set_ipv4(&address, 0x7F000001u, 0);
    ASSERT_EQ(aud_socket_bind(receiver, &address), AUD_SUCCESS);
    ASSERT_EQ(aud_socket_get_local_address(receiver, &address), AUD_SUCCESS);
    int reads = 0;
    ASSERT_EQ(aud_event_loop_set_socket(
                  runtime.loop(), receiver, AUD_DIRECTION_READ,
                  [](aud_error, aud_socket_t s, int, void* c) {
                      uint8_t byte[16];
                      size_t length = sizeof byte;
                      aud_socket_recv(s, byte, &length);
                      ++*static_cast<int*>(c);
                  },
                  &reads, AUD_SET_SOCKET_ADD),
              AUD_SUCCESS);
    aud_socket_t sender = AUD_SOCKET_INVALID;
    ASSERT_EQ(aud_socket_open_udp(&sender, AUD_AF_INET), AUD_SUCCESS);
    const uint8_t datagram[1] = {7};
    size_t length = 1;
    ASSERT_EQ(aud_socket_sendto(sender, datagram, &length, &address), AUD_SUCCESS);

    const auto start = Clock::now();
    EXPECT_EQ(step_avn_events_long(runtime.get()), AUD_SUCCESS);
    EXPECT_LT(since(start).count(), 500);
    EXPECT_EQ(reads, 1);
    aud_event_loop_set_socket(runtime.loop(), receiver, AUD_DIRECTION_READ, nullptr, nullptr,
                              AUD_SET_SOCKET_ADD_OR_REPLACE);
    aud_socket_close(&sender);
    aud_socket_close(&receiver);
}

// ---- The mutex ----

// Threads that take the mutex again as soon as they gave it up, each step
// firing a timer: every thread gets the mutex within its limit every time,
// and no two are ever inside the runtime at once.
TEST(AvnAccessMutex, ThreadsSteppingInTurnNeverOverlapNorStarve) {
    Runtime runtime;
    struct Probe {
        std::atomic<int> inside{0};
        std::atomic<int> overlaps{0};
        std::atomic<int> fired{0};
    } probe;
    const aud_time interval = aud_time_from_milliseconds(5);
    aud_timer* timer = nullptr;
    ASSERT_EQ(aud_event_loop_add_recurring(
                  runtime.loop(),
                  [](aud_error, aud_timer* t) {
                      auto* p = static_cast<Probe*>(aud_timer_get_context(t));
                      if (++p->inside != 1) {
                          ++p->overlaps;
                      }
                      std::this_thread::sleep_for(milliseconds(1));
                      --p->inside;
                      ++p->fired;
                  },
                  nullptr, &interval, &probe, &timer),
              AUD_SUCCESS);

    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::atomic<int> timeouts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                AvnApiLock lock(2000);
                if (!lock) {
                    ++timeouts;
                    continue;
                }
                step_avn_events(runtime.get());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(timeouts, 0);
    EXPECT_EQ(probe.overlaps, 0);
    EXPECT_GT(probe.fired, kThreads * kRounds / 2);
}

// A polling loop that takes the mutex again as soon as it gave it up (as the
// event-loop thread and the parameter thread do) must not keep a thread that
// waits with a limit from getting it.
TEST(AvnAccessMutex, GreedyPollerHandsTheMutexToAWaiter) {
    Runtime runtime;
    std::atomic<bool> quit{false};
    std::thread poller([&] {
        while (!quit) {
            AvnApiLock lock(100);
            if (lock) {
                step_avn_events(runtime.get());
            }
        }
    });
    std::this_thread::sleep_for(milliseconds(50));  // let the poller get going
    int obtained = 0;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        if (avn_api_lock(2000)) {
            ++obtained;
            avn_api_unlock();
        }
        EXPECT_LT(since(start).count(), 400) << "attempt " << i;
    }
    quit = true;
    poller.join();
    EXPECT_EQ(obtained, 5);
}

TEST(AvnAccessMutex, NestedTakeKeepsItUntilTheOuterRelease) {
    std::atomic<int> phase{0};
    std::atomic<bool> other_got_it_early{false};
    {
        AvnApiLock outer(100);
        ASSERT_TRUE(outer);
        {
            AvnApiLock inner(0);
            EXPECT_TRUE(inner);
        }
        std::thread other([&] {
            other_got_it_early = avn_api_lock(50);
            if (other_got_it_early) {
                avn_api_unlock();
            }
        });
        other.join();
    }
    EXPECT_FALSE(other_got_it_early);
    std::thread after([&] {
        if (avn_api_lock(500)) {
            phase = 1;
            avn_api_unlock();
        }
    });
    after.join();
    EXPECT_EQ(phase, 1);
}

// ---- Start and stop ----

struct NoServiceCase {
    const char* name;
    bool silent_service;  // a service that never answers, else no service at all
};

class StartWithoutService : public ::testing::TestWithParam<NoServiceCase> {};

TEST_P(StartWithoutService, FailsWithinTheLimitAndLeavesNothingBehind) {
    std::unique_ptr<FakeCmmService> silent;
    avn_api_options options;
    if (GetParam().silent_service) {
        silent = std::make_unique<FakeCmmService>(true);
        options.cmm_port = silent->port();
    } else {
        options.cmm_port = FakeCmmService::closed_port();
    }
    ASSERT_NE(options.cmm_port, 0);
    options.connect_limit_ms = 700;
    const auto start = Clock::now();
    EXPECT_EQ(start_avn_api(&options), AUD_ERR_NOTRUNNING);
    const auto elapsed = since(start).count();
    EXPECT_GE(elapsed, 650);
    EXPECT_LT(elapsed, 700 + 400);
    EXPECT_EQ(avn_api_instance(), nullptr);
    EXPECT_EQ(avn_api_cmm_client(), nullptr);
    if (silent) {
        // It kept asking while the limit ran.
        EXPECT_GE(silent->count(CMM_OPCODE_CONNECT), 1);
    }
    stop_avn_api();  // nothing to stop

    // A later start against a service that answers works.
    FakeCmmService service;
    options.cmm_port = service.port();
    EXPECT_EQ(start_avn_api(&options), AUD_SUCCESS);
    stop_avn_api();
}

INSTANTIATE_TEST_SUITE_P(AvnAccess, StartWithoutService,
                         ::testing::Values(NoServiceCase{"nothing_listens", false},
                                           NoServiceCase{"service_never_answers", true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// A connection manager that comes up while start_avn_api waits is found:
// the CONNECT that met a closed port is sent again (at once where the closed
// port is reported, after the answer limit where it is not).
TEST(AvnAccessStart, FindsAServiceThatStartsWhileItWaits) {
    avn_api_options options;
    options.cmm_port = FakeCmmService::closed_port();
    ASSERT_NE(options.cmm_port, 0);
    options.connect_limit_ms = 4000;
    std::unique_ptr<FakeCmmService> late;
    std::thread starter([&] {
        std::this_thread::sleep_for(milliseconds(700));
        late = std::make_unique<FakeCmmService>(false, options.cmm_port);
    });
    const auto start = Clock::now();
    const aud_error result = start_avn_api(&options);
    starter.join();
    EXPECT_EQ(result, AUD_SUCCESS);
    EXPECT_LT(since(start).count(), 3500);
    EXPECT_GE(late->count(CMM_OPCODE_CONNECT), 1);
    stop_avn_api();
}

// What the window callbacks received, from whichever thread stepped.
struct WindowRecord {
    std::mutex mutex;
    std::condition_variable changed;
    int options_calls = 0;
    int state_calls = 0;
    uint16_t option_count = 0;
    uint16_t last_status = 0;
    void* window_seen = nullptr;
    cmm_client* client_seen = nullptr;

    template <typename Pred>
    bool wait(Pred pred) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(3), pred);
    }
};

void on_options(void* window, cmm_client* client, const cmm_options* options) {
    auto* record = static_cast<WindowRecord*>(window);
    std::lock_guard lock(record->mutex);
    ++record->options_calls;
    record->option_count = options->count;
    record->window_seen = window;
    record->client_seen = client;
    record->changed.notify_all();
}

void on_state(void* window, const cmm_state* state) {
    auto* record = static_cast<WindowRecord*>(window);
    std::lock_guard lock(record->mutex);
    ++record->state_calls;
    record->last_status = state->status;
    record->window_seen = window;
    record->changed.notify_all();
}

TEST(AvnAccessStart, ConnectsFansOutEventsAndStops) {
    FakeCmmService service;
    WindowRecord window;
    set_network_options_callback(on_options, &window);
    set_network_state_callback(on_state, &window);

    avn_api_options options;
    options.cmm_port = service.port();
    options.conmon_port = 18900;
    ASSERT_EQ(start_avn_api(&options), AUD_SUCCESS);
    EXPECT_EQ(start_avn_api(&options), AUD_ERR_ALREADY);
    EXPECT_EQ(service.client_name(), "FWUpdater");
    EXPECT_EQ(avn_api_current_options().conmon_port, 18900);
    ASSERT_NE(avn_api_instance(), nullptr);
    {
        AvnApiLock lock(2000);
        ASSERT_TRUE(lock);
        EXPECT_EQ(cmm_client_get_connection_state(avn_api_cmm_client()), CMM_CLIENT_CONNECTED);
    }

    // The options and state that follow the connection reach the window,
    // stepped by the event-loop thread if start_avn_api has returned.
    ASSERT_TRUE(window.wait([&] { return window.options_calls >= 1 && window.state_calls >= 1; }));
    {
        std::lock_guard lock(window.mutex);
        EXPECT_EQ(window.option_count, 2);
        EXPECT_EQ(window.last_status, CMM_STATUS_READY);
        EXPECT_EQ(window.window_seen, &window);
        EXPECT_EQ(window.client_seen, avn_api_cmm_client());
    }

    // A later change arrives with nobody but the event-loop thread stepping.
    service.send_state(FakeCmmService::make_state(CMM_STATUS_CHANGING));
    EXPECT_TRUE(window.wait([&] { return window.last_status == CMM_STATUS_CHANGING; }));
    {
        std::lock_guard lock(window.mutex);
        EXPECT_EQ(window.options_calls, 1);  // unchanged options raise nothing
    }

    stop_avn_api();
    EXPECT_TRUE(service.wait_for(CMM_OPCODE_DISCONNECT, 1, 2000));
    EXPECT_EQ(avn_api_instance(), nullptr);
    EXPECT_EQ(avn_api_cmm_client(), nullptr);
    set_network_options_callback(nullptr, nullptr);
    set_network_state_callback(nullptr, nullptr);
}

// A connection manager that takes its time to answer CONNECT is waited for,
// not abandoned: abandoning it would leave a registration behind in it for
// every new attempt.
TEST(AvnAccessStart, WaitsForASlowConnectionManagerWithOneRegistration) {
    sim::CmmSettings settings;
    settings.port = 0;
    settings.connect_delay = milliseconds(1500);
    sim::ConnectionManager cmm(settings, [](std::string_view) {});
    ASSERT_EQ(cmm.start(), AUD_SUCCESS);

    avn_api_options options;
    options.cmm_port = cmm.port();
    options.connect_limit_ms = 4000;
    const auto start = Clock::now();
    ASSERT_EQ(start_avn_api(&options), AUD_SUCCESS);
    EXPECT_GE(since(start).count(), 1400);
    EXPECT_EQ(cmm.client_count(), 1u);
    stop_avn_api();
}

// When the connection manager goes away and comes back, the client connects
// again by itself and its options reach the window again.
TEST(AvnAccessStart, ReconnectsAfterTheConnectionManagerReturns) {
    if (!closed_port_reported_through_wait()) {
        GTEST_SKIP() << "this system does not report a closed UDP port";
    }
    sim::CmmSettings settings;
    settings.port = FakeCmmService::closed_port();
    ASSERT_NE(settings.port, 0);
    sim::ConnectionManager cmm(settings, [](std::string_view) {});
    ASSERT_EQ(cmm.start(), AUD_SUCCESS);
    WindowRecord window;
    set_network_options_callback(on_options, &window);

    avn_api_options options;
    options.cmm_port = cmm.port();
    ASSERT_EQ(start_avn_api(&options), AUD_SUCCESS);
    ASSERT_TRUE(window.wait([&] { return window.options_calls >= 1; }));

    // The client notices at its next keepalive (every 10 s) that the port is
    // closed.
    cmm.stop();
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    bool lost = false;
    while (!lost && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(100));
        AvnApiLock lock(1000);
        lost = lock && cmm_client_get_connection_state(avn_api_cmm_client()) == CMM_CLIENT_DISCONNECTED;
    }
    ASSERT_TRUE(lost);

    ASSERT_EQ(cmm.start(), AUD_SUCCESS);
    EXPECT_TRUE(window.wait([&] { return window.options_calls >= 2; }));
    EXPECT_EQ(cmm.client_count(), 1u);
    stop_avn_api();
    set_network_options_callback(nullptr, nullptr);
}

// A thread that wants the mutex while the event-loop thread waits inside a
// step gets it at once rather than after the step's 100 ms; and the wake-up
// is used up, so a step with nothing to do still waits its full time instead
// of spinning.
TEST(AvnAccessStep, AWaitingThreadWakesTheStepAndIdleStepsStillWait) {
    FakeCmmService service;
    avn_api_options options;
    options.cmm_port = service.port();
    ASSERT_EQ(start_avn_api(&options), AUD_SUCCESS);

    milliseconds longest{0};
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(milliseconds(30));  // the loop is back in its wait
        const auto start = Clock::now();
        ASSERT_TRUE(avn_api_lock(2000));
        longest = std::max(longest, since(start));
        avn_api_unlock();
    }
    EXPECT_LT(longest.count(), 60);

    {
        AvnApiLock lock(2000);
        ASSERT_TRUE(lock);
        avnapi_runtime* runtime = avnapi_get_runtime(avn_api_instance());
        // The event-loop thread, waiting for the mutex meanwhile, wakes the
        // step at most once per wait of its own (100 ms); a wake-up left
        // undrained would instead end every step at once.
        int steps = 0;
        const auto start = Clock::now();
        while (since(start) < milliseconds(500)) {
            step_avn_events(runtime);
            ++steps;
        }
        EXPECT_LE(steps, 20);
    }
    stop_avn_api();
}

}  // namespace
