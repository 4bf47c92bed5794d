// The conmon client against avn-sim's conmon server, in-process on loopback:
// the road of a parameter request to a simulated TPX-2 and of its report back.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "avn/conmon/conmon_client.h"
#include "avn/api/avnapi.h"
#include "device/manufacturer.h"
#include "device/parameters.h"
#include "device/vendor_envelope.h"
#include "sim/sim_network.h"
#include "tests/support/event_loop_runner.h"

namespace {

using Bytes = std::vector<uint8_t>;

class ConmonClientWithSim : public ::testing::TestWithParam<uint16_t> {
protected:
    void SetUp() override {
        sim::SimOptions options = sim::options_on_free_ports();
        options.conmon.version = GetParam();
        options.units = sim::default_units();
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);

        ASSERT_EQ(avnapi_new(&instance_), AUD_SUCCESS);
        conmon_client_config* config = conmon_client_config_new("vendor_controller");
        aud_socket_address server{};
        aud_socket_address_set_ipv4(&server, 0x7F000001u, network_->conmon_port());
        conmon_client_config_set_server_address(config, &server);
        ASSERT_EQ(conmon_client_new(instance_, config, &client_), AUD_SUCCESS);
        conmon_client_config_delete(config);
        conmon_client_set_context(client_, this);
    }

    void TearDown() override {
        conmon_client_delete(client_);
        avnapi_delete(instance_);
        network_.reset();
    }

    void step() { test_loop::step_runtime(avnapi_get_runtime(instance_)); }

    // Steps for at most about four seconds.
    bool run_until(const std::function<bool()>& done) {
        for (int i = 0; i < 200 && !done(); ++i) {
            step();
        }
        return done();
    }

    static void on_done(conmon_client* client, conmon_client_request_id, aud_error status) {
        static_cast<ConmonClientWithSim*>(conmon_client_get_context(client))->statuses_.push_back(status);
    }

    static void on_message(conmon_client* client, uint16_t, uint16_t, const conmon_message* message,
                           const uint8_t* body) {
        auto* self = static_cast<ConmonClientWithSim*>(conmon_client_get_context(client));
        const conmon_source source = conmon_message_source(message);
        const char* sender = conmon_client_device_name_for_source(client, &source);
        self->senders_.push_back(sender != nullptr ? sender : "");
        self->bodies_.emplace_back(body, body + conmon_message_body_size(message));
    }

    std::unique_ptr<sim::SimNetwork> network_;
    avnapi* instance_ = nullptr;
    conmon_client* client_ = nullptr;
    std::vector<aud_error> statuses_;
    std::vector<std::string> senders_;
    std::vector<Bytes> bodies_;
};

TEST_P(ConmonClientWithSim, AskingAUnitForItsValuesBringsItsReport) {
    ASSERT_EQ(conmon_client_connect(client_), AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return conmon_client_is_ready(client_); }));
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, on_done, nullptr, CONMON_CHANNEL_TYPE_STATUS,
                                                         CONMON_DIRECTION_REMOTE, on_message),
              AUD_SUCCESS);
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, nullptr, CONMON_CHANNEL_TYPE_STATUS, "tpx2-stage"),
              AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return statuses_.size() == 2; }));

    Bytes envelope(64);
    envelope.resize(encode_vendor_envelope(1, encode_request_all(), envelope));
    const aud_time timeout{1, 0};
    ASSERT_EQ(conmon_client_send_control_message(client_, on_done, nullptr, "TPX2-Stage", 0xFFFF, kManufacturerId.data(),
                                                 envelope.data(), static_cast<uint16_t>(envelope.size()),
                                                 &timeout),
              AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return !bodies_.empty() && statuses_.size() == 3; }));
    EXPECT_EQ(statuses_, (std::vector<aud_error>{AUD_SUCCESS, AUD_SUCCESS, AUD_SUCCESS}));
    // The client names the sender by the subscription it made, in its spelling.
    EXPECT_EQ(senders_.front(), "tpx2-stage");
    const auto report = decode_vendor_envelope(bodies_.front());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->channel, 1u);
    EXPECT_EQ(parse_parameter_report(report->payload).size(), 7u);

    // A unit that does not exist is named as such by the server.
    ASSERT_EQ(conmon_client_send_control_message(client_, on_done, nullptr, "Nobody", 0xFFFF, kManufacturerId.data(),
                                                 envelope.data(), static_cast<uint16_t>(envelope.size()),
                                                 &timeout),
              AUD_SUCCESS);
    ASSERT_TRUE(run_until([&] { return statuses_.size() == 4; }));
    EXPECT_EQ(statuses_.back(), AUD_ERR_NOTFOUND);
}

// The current server, and one that only speaks an older version.
INSTANTIATE_TEST_SUITE_P(ServerVersions, ConmonClientWithSim,
                         ::testing::Values(uint16_t{0x1503}, uint16_t{0x1300}));

}  // namespace
