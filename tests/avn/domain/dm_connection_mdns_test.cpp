// The domain handler finds avn-sim's Domain Manager by multicast DNS, as a
// user's Auto Discovery does, and the address it finds is good for a login.
// Runs only inside a private network namespace where multicast stays on
// loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "avn/browse/interfaces.h"
#include "avn/domain/domain_handler.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_event_loop.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_network.h"
#include "tests/avn/dnssd/dnssd_test_support.h"

namespace {

using namespace std::chrono_literals;

class DmConnectionMdns : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!dnssd_test::in_private_namespace()) {
            GTEST_SKIP() << "multicast tests run only in a private network namespace";
        }
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
        ASSERT_EQ(avn_domain_handler_new(env_, nullptr, nullptr, nullptr, &handler_), AUD_SUCCESS);
        sim::SimOptions options;
        options.conmon.port = 0;
        options.cmm.port = 0;
        options.quiet = true;
        options.mdns.enabled = true;
        options.dm.enabled = true;
        options.dm.port = 0;
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
    }

    void TearDown() override {
        avn_domain_handler_delete(handler_);
        if (env_ != nullptr) {
            aud_env_delete(env_);
        }
    }

    bool run_until(const std::function<bool()>& done, std::chrono::seconds limit) {
        aud_event_loop* loop = aud_env_get_event_loop(env_);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            aud_fdsets sets;
            aud_fdsets_clear(&sets);
            aud_event_loop_get_fdsets(loop, &sets);
            aud_time timeout = aud_event_loop_get_timeout(loop);
            const aud_time most = aud_time_from_milliseconds(50);
            if (aud_time_compare(timeout, most) > 0) {
                timeout = most;
            }
            aud_fdsets_wait(&sets, timeout);
            aud_event_loop_dispatch(loop, &sets);
            aud_event_loop_step(loop);
        }
        return true;
    }

    aud_env* env_ = nullptr;
    avn_domain_handler* handler_ = nullptr;
    std::unique_ptr<sim::SimNetwork> network_;
};

TEST_F(DmConnectionMdns, FindsTheAdvertisedDomainManager) {
    aud_interface loopback{};
    ASSERT_EQ(aud_interface_find_loopback(&loopback), AUD_SUCCESS);
    // Unicast DNS has no server to ask here: after its 5 s the multicast
    // query finds the advert.
    ASSERT_EQ(avn_domain_handler_start_dm_discovery(handler_, &loopback.index), AUD_SUCCESS);
    ASSERT_TRUE(run_until(
        [&] { return avn_domain_handler_get_internal_state(handler_) == AVN_DOMAIN_HANDLER_STATE_DISCOVERED; },
        20s));
    const char* host = nullptr;
    uint16_t port = 0;
    ASSERT_EQ(avn_domain_handler_get_dm_address(handler_, &host, &port), AUD_SUCCESS);
    EXPECT_STREQ(host, "avn-dm.local");
    EXPECT_EQ(port, network_->dm()->port());
}

}  // namespace
