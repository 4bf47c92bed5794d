#include "device/parameter_thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/app_messages.h"
#include "device/message_queue.h"
#include "tests/device/fake_transport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;

constexpr uint32_t kWaitMs = 5000;
// Longer than two passes of the thread's loop (poll plus a 250 ms wait).
constexpr uint32_t kQuietMs = 700;

WindowMessage msg(uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0) {
    return {message, wparam, lparam};
}

class ParameterThread : public ::testing::Test {
protected:
    void TearDown() override { stop_parameter_thread(); }

    // Starts the thread on a fake transport and returns the fake.
    FakeTransport* start(MessageQueue& target_window, std::atomic<bool>* deleted = nullptr,
                         TransportFate* fate = nullptr) {
        auto transport = std::make_unique<FakeTransport>(deleted, fate);
        FakeTransport* fake = transport.get();
        configure(*fake);
        start_parameter_thread(target_window.target(), std::move(transport));
        return fake;
    }

    std::function<void(FakeTransport&)> configure = [](FakeTransport&) {};
    MessageQueue window;
};

TEST_F(ParameterThread, ConnectsAsksForAllAndPostsEachReportedValue) {
    configure = [](FakeTransport& fake) {
        fake.responder = [](FakeTransport& t, const FakeTransport::Written& w) {
            if (w.message == Bytes{0x00}) {
                t.queue_incoming(1, {0x02, 0x01, 0, 0, 0, 3, 0x02, 0xFF, 0xFF, 0xFF, 0xF4, 0x81,
                                     0x01, 0xEE, 0x05, 0, 0, 0, 2, 0x06, 0, 0, 0, 4, 0x07, 0, 0,
                                     0, 1});
            }
            return true;
        };
    };
    FakeTransport* fake = start(window);
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECTED));
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_PARAM_REPORT, 1, 3));
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_PARAM_REPORT, 2, -12));
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_PARAM_REPORT, 5, 2));
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_PARAM_REPORT, 6, 4));
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_PARAM_REPORT, 7, 1));
    // With nothing queued the thread keeps polling and posts nothing.
    EXPECT_EQ(window.wait(kQuietMs), std::nullopt);

    const auto writes = fake->writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].channel, 1u);
    EXPECT_EQ(writes[0].message, Bytes{0x00});
}

TEST_F(ParameterThread, SendsQueuedChangesInOrderOnePerPass) {
    FakeTransport* fake = start(window);
    ASSERT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECTED));
    queue_parameter_change(1, 3, -3);
    queue_parameter_change(1, 5, 4);
    queue_parameter_change(1, 7, 0);
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_PARAM_SENT, 3, -3));
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_PARAM_SENT, 5, 4));
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_PARAM_SENT, 7, 0));

    const auto writes = fake->writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_THAT(writes[1].message, ElementsAre(0x01, 0x03, 0xFF, 0xFF, 0xFF, 0xFD));
    EXPECT_THAT(writes[2].message, ElementsAre(0x01, 0x05, 0, 0, 0, 4));
    EXPECT_THAT(writes[3].message, ElementsAre(0x01, 0x07, 0, 0, 0, 0));
    for (const auto& w : writes) {
        EXPECT_EQ(w.channel, 1u);
    }
}

TEST_F(ParameterThread, ReportsUndeliveredMessages) {
    configure = [](FakeTransport& fake) {
        fake.responder = [](FakeTransport&, const FakeTransport::Written&) { return false; };
    };
    start(window);
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECTED));
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_SEND_FAILED, 0, 0));
    queue_parameter_change(1, 6, 2);
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_SEND_FAILED, 6, 2));
}

TEST_F(ParameterThread, FailedOpenPostsConnectFailedAndSendsNothing) {
    std::atomic<bool> deleted{false};
    configure = [](FakeTransport& fake) { fake.open_result = false; };
    FakeTransport* fake = start(window, &deleted);
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECT_FAILED));
    EXPECT_TRUE(fake->writes().empty());

    stop_parameter_thread();
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_DISCONNECTED));
    EXPECT_TRUE(deleted);
    EXPECT_EQ(window.wait(0), std::nullopt);
}

TEST_F(ParameterThread, StopWhileOpeningWaitsForOpenThenCleansUp) {
    std::atomic<bool> deleted{false};
    SyncEvent gate{SyncEvent::Reset::Manual};
    configure = [&gate](FakeTransport& fake) { fake.open_gate = &gate; };
    FakeTransport* fake = start(window, &deleted);
    while (fake->open_calls == 0) {
        std::this_thread::yield();
    }
    std::thread stopper([] { stop_parameter_thread(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(deleted);  // still waiting for open
    gate.set();
    stopper.join();

    EXPECT_TRUE(deleted);
    // The thread posted its outcome before it saw the stop; it still arrives, first.
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECTED));
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_DISCONNECTED));
}

TEST_F(ParameterThread, ClosesTheTransportBeforeDeletingItOnStop) {
    TransportFate fate;
    FakeTransport* fake = start(window, nullptr, &fate);
    ASSERT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECTED));
    EXPECT_EQ(fake->close_calls, 0);
    stop_parameter_thread();
    EXPECT_TRUE(fate.deleted);
    EXPECT_EQ(fate.closes, 1);
    EXPECT_FALSE(fate.open_when_deleted);
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_DISCONNECTED));
}

// When the service that carries the link is down, the failure says so.
TEST_F(ParameterThread, AnOpenFailedForTheServiceSaysSo) {
    configure = [](FakeTransport& fake) {
        fake.open_result = false;
        fake.service_down_result = true;
    };
    start(window);
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECT_FAILED, kLinkServiceDown, 0));
}

TEST_F(ParameterThread, QueueingWithoutARunningThreadDoesNothing) {
    queue_parameter_change(1, 1, 1);  // before any start
    stop_parameter_thread();          // nothing runs: nothing happens
    EXPECT_EQ(window.wait(0), std::nullopt);

    start(window);
    ASSERT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECTED));
    stop_parameter_thread();
    ASSERT_EQ(window.wait(kWaitMs), msg(WM_APP_DISCONNECTED));
    queue_parameter_change(1, 2, 2);  // after a stop
    EXPECT_EQ(window.wait(kQuietMs), std::nullopt);
}

TEST_F(ParameterThread, StartingAgainStopsTheOldThreadFirst) {
    std::atomic<bool> first_deleted{false};
    start(window, &first_deleted);
    ASSERT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECTED));

    MessageQueue second_window;
    auto transport = std::make_unique<FakeTransport>();
    FakeTransport* second = transport.get();
    start_parameter_thread(second_window.target(), std::move(transport));

    EXPECT_TRUE(first_deleted);
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_DISCONNECTED));
    EXPECT_EQ(second_window.wait(kWaitMs), msg(WM_APP_CONNECTED));
    queue_parameter_change(1, 4, 12);
    EXPECT_EQ(second_window.wait(kWaitMs), msg(WM_APP_PARAM_SENT, 4, 12));
    EXPECT_EQ(second->writes().size(), 2u);
    EXPECT_EQ(window.wait(0), std::nullopt);

    stop_parameter_thread();  // while second_window still exists
    EXPECT_EQ(second_window.wait(kWaitMs), msg(WM_APP_DISCONNECTED));
}

// A link lost with its domain while a change is in flight: the change is
// neither reported sent nor blamed on the unit, and the loss is reported
// once, naming the domain; nothing more is sent.
TEST_F(ParameterThread, ALinkLostWithItsDomainIsReportedOnceAndEndsTheWork) {
    configure = [](FakeTransport& fake) {
        fake.responder = [](FakeTransport& t, const FakeTransport::Written& w) {
            if (w.message.size() > 1) {
                t.lost = true;  // the Domain Manager went away under the change
                return false;
            }
            return true;
        };
    };
    FakeTransport* fake = start(window);
    ASSERT_EQ(window.wait(kWaitMs), msg(WM_APP_CONNECTED));
    queue_parameter_change(1, 3, -3);
    EXPECT_EQ(window.wait(kWaitMs), msg(WM_APP_SEND_FAILED, 0, static_cast<intptr_t>(kLinkDomainLost)));
    queue_parameter_change(1, 5, 4);
    EXPECT_EQ(window.wait(kQuietMs), std::nullopt);
    EXPECT_EQ(fake->writes().size(), 2u);  // the request for all values and the one change
}

}  // namespace
