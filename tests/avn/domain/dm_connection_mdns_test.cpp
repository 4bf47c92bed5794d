// The domain handler finds avn-sim's Domain Manager by multicast DNS, as a
// user's Auto Discovery does, and the address it finds is good for a login.
// Runs only inside a private network namespace where multicast stays on
// loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "avn/browse/interfaces.h"
#include "avn/domain/domain_handler.h"
#include "avn/runtime/aud_env.h"
#include "sim/dm/dm_web.h"
#include "sim/sim_network.h"
#include "tests/avn/dnssd/dnssd_test_support.h"
#include "tests/support/event_loop_runner.h"

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
        sim::SimOptions options = sim::options_on_free_ports();
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
    ASSERT_TRUE(test_loop::run_until(
        env_,
        [&] { return avn_domain_handler_get_internal_state(handler_) == AVN_DOMAIN_HANDLER_STATE_DISCOVERED; },
        20s));
    const char* host = nullptr;
    uint16_t port = 0;
    ASSERT_EQ(avn_domain_handler_get_dm_address(handler_, &host, &port), AUD_SUCCESS);
    // The advertised "avn-dm.local" by its multicast address: the system's
    // resolver need not know .local names.
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_EQ(port, network_->dm()->port());
}

}  // namespace
