// A connected unit across a restart of the conmon server: the transport
// renews its registration and subscription once the client is back, the
// parameter thread asks for all values again and sends what was queued
// meanwhile. Against avn-sim in-process.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "avn/api/avn_access.h"
#include "device/app_messages.h"
#include "device/conmon_transport.h"
#include "device/message_queue.h"
#include "device/parameter_thread.h"
#include "device/parameters.h"
#include "sim/sim_network.h"
#include "tests/avn/domain/closed_port_probe.h"
#include "tests/avn/runtime/fake_cmm_service.h"

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kRestoreWaitMs = 25000;

class ConmonRestart : public ::testing::Test {
protected:
    void SetUp() override {
        if (!closed_port_reported_through_wait()) {
            GTEST_SKIP() << "this system does not report a closed UDP port";
        }
        sim::SimOptions options = sim::options_on_free_ports();
        sim::Tpx2UnitSettings stage;
        stage.name = "TPX2-Stage";
        options.units = {stage};
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
        avn_api_options api;
        api.cmm_port = cmm_.port();
        api.conmon_port = network_->conmon_port();
        ASSERT_EQ(start_avn_api(&api), AUD_SUCCESS);
        start_parameter_thread(window_.target(), std::make_unique<ConMonTransport>(L"TPX2-Stage"));
        ASSERT_TRUE(wait_for(WM_APP_CONNECTED, 0, 10000));
        ASSERT_TRUE(wait_for_report(ParameterId::MicGate, 1, 5000));
    }
    void TearDown() override {
        stop_parameter_thread();
        stop_avn_api();
        if (network_) {
            network_->stop();
        }
    }

    // Waits for one message with this wParam; fails on WM_APP_SEND_FAILED.
    bool wait_for(uint32_t message, uintptr_t wparam, uint32_t limit_ms) {
        const auto deadline = std::chrono::steady_clock::now() + milliseconds(limit_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto m = window_.wait(100);
            if (!m) {
                continue;
            }
            EXPECT_NE(m->message, WM_APP_SEND_FAILED) << "wParam " << m->wparam;
            if (m->message == message && m->wparam == wparam) {
                last_ = *m;
                return true;
            }
        }
        return false;
    }
    bool wait_for_report(ParameterId id, int32_t value, uint32_t limit_ms) {
        const auto deadline = std::chrono::steady_clock::now() + milliseconds(limit_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (wait_for(WM_APP_PARAM_REPORT, static_cast<uintptr_t>(id), 100) && last_.lparam == value) {
                return true;
            }
        }
        return false;
    }

    FakeCmmService cmm_;
    std::unique_ptr<sim::SimNetwork> network_;
    MessageQueue window_;
    WindowMessage last_{};
};

// After the restart the unit's values are asked for again, and a change made
// at the unit afterwards reaches the window.
TEST_F(ConmonRestart, ReportsAgainAfterTheServerReturns) {
    network_->conmon().change_unit_parameter("TPX2-Stage", ParameterId::MicLf, -2);
    ASSERT_TRUE(wait_for_report(ParameterId::MicLf, -2, 5000));

    // Long enough for a keepalive to find the port closed.
    network_->conmon().restart(milliseconds(3500));
    // The values asked for again after the restart: the unit kept them.
    ASSERT_TRUE(wait_for_report(ParameterId::MicLf, -2, kRestoreWaitMs));
    network_->conmon().change_unit_parameter("TPX2-Stage", ParameterId::MicLf, 4);
    EXPECT_TRUE(wait_for_report(ParameterId::MicLf, 4, 5000));
}

// A change the user makes while the server is away is sent once it is back,
// and confirmed by the unit.
TEST_F(ConmonRestart, AChangeQueuedDuringTheOutageIsSentAfterwards) {
    network_->conmon().restart(milliseconds(2000));
    queue_parameter_change(1, static_cast<uint32_t>(ParameterId::Mode), 3);
    ASSERT_TRUE(wait_for(WM_APP_PARAM_SENT, static_cast<uintptr_t>(ParameterId::Mode), kRestoreWaitMs));
    EXPECT_TRUE(wait_for_report(ParameterId::Mode, 3, 5000));
    const auto values = network_->conmon().unit_parameters("TPX2-Stage");
    ASSERT_TRUE(values);
    EXPECT_EQ((*values)[static_cast<size_t>(ParameterId::Mode) - 1], 3);
}

// A restart the client has not noticed (the port was back before any
// keepalive met it): the change goes to a server that does not know the
// client and gets no answer. It is not reported failed: the link is in doubt
// until the server refuses the client's keepalive (or, with a server that
// stays silent to strangers, until the connection times out), and the change
// is sent again once the link is renewed.
TEST_F(ConmonRestart, AChangeSentToARestartedServerIsSentAgainOnceTheLinkIsRenewed) {
    for (const bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "keepalive refused" : "server silent to strangers");
        network_->conmon().set_refuse_unknown_keepalive(refused);
        const int32_t mode = refused ? 3 : 4;
        network_->conmon().restart();
        queue_parameter_change(1, static_cast<uint32_t>(ParameterId::Mode), mode);
        ASSERT_TRUE(wait_for(WM_APP_PARAM_SENT, static_cast<uintptr_t>(ParameterId::Mode), kRestoreWaitMs));
        EXPECT_TRUE(wait_for_report(ParameterId::Mode, mode, 5000));
    }
}

}  // namespace
