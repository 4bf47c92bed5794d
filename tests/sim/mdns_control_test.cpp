// avn-sim with its DNS-SD responder, as the program runs it: the devices of
// its options advertised, and devices added and removed at run time through
// the control socket. Inside a private network namespace only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "avn/dnssd/dnssd.h"
#include "avn/runtime/socket.h"
#include "sim/sim_network.h"
#include "tests/avn/dnssd/dnssd_test_support.h"

namespace {

using namespace std::chrono_literals;

class MdnsControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!dnssd_test::in_private_namespace()) {
            GTEST_SKIP() << "multicast tests run only in a private network namespace";
        }
        unit_ = "Unit-" + std::to_string(getpid());
        sim::SimOptions options = sim::options_on_free_ports();
        options.units = {sim::Tpx2UnitSettings{}};
        options.units[0].name = unit_;
        options.mdns.enabled = true;
        options.mdns.control = true;
        network_ = std::make_unique<sim::SimNetwork>(options);
        ASSERT_EQ(network_->start(), AUD_SUCCESS);
        ASSERT_NE(network_->mdns(), nullptr);
        ASSERT_EQ(aud_socket_open_udp(&control_, AUD_AF_INET), AUD_SUCCESS);
    }
    void TearDown() override {
        aud_socket_close(&control_);
        if (ref_ != nullptr) {
            DNSServiceRefDeallocate(ref_);
        }
        if (network_) {
            network_->stop();
        }
    }

    std::string command(const std::string& text) {
        aud_socket_address to{};
        aud_socket_address_set_ipv4(&to, 0x7F000001u, network_->mdns()->control_port());
        size_t length = text.size();
        EXPECT_EQ(aud_socket_sendto(control_, text.data(), &length, &to), AUD_SUCCESS);
        const aud_time limit{2, 0};
        if (aud_socket_wait_readable(control_, &limit) != AUD_SUCCESS) {
            return "no reply";
        }
        char reply[512];
        length = sizeof reply;
        aud_socket_recv(control_, reply, &length);
        return std::string(reply, length);
    }

    std::string unit_;
    std::unique_ptr<sim::SimNetwork> network_;
    aud_socket_t control_ = AUD_SOCKET_INVALID;
    dnssd_test::Browsed browsed_;
    DNSServiceRef ref_ = nullptr;
};

TEST_F(MdnsControlTest, DevicesComeAndGoAtRunTime) {
    ASSERT_EQ(DNSServiceBrowse(&ref_, 0, 0, "_netaudio-cmc._udp", "local",
                               dnssd_test::Browsed::callback, &browsed_),
              kDNSServiceErr_NoError);
    ASSERT_TRUE(dnssd_test::pump_until(
        {ref_}, [&] { return browsed_.present.count(unit_) == 1; }, 5s));

    const std::string extra = "Extra-" + std::to_string(getpid());
    EXPECT_EQ(command("add " + extra + " maker=Acme model=3"), "ok\n");
    EXPECT_EQ(command("list"), "ok " + extra + " " + unit_ + "\n");
    ASSERT_TRUE(dnssd_test::pump_until(
        {ref_}, [&] { return browsed_.present.count(extra) == 1; }, 5s));

    EXPECT_EQ(command("remove " + extra), "ok\n");
    ASSERT_TRUE(dnssd_test::pump_until(
        {ref_}, [&] { return browsed_.present.count(extra) == 0; }, 2s));
    EXPECT_EQ(command("remove " + extra), "error: no device " + extra + "\n");
    EXPECT_EQ(command("launch"),
              "error: commands are add NAME [maker=TEXT] [model=N] [ttl=S], "
              "remove NAME, drop NAME, list\n");
    // Stopping the simulator says goodbye for its devices.
    network_->stop();
    ASSERT_TRUE(dnssd_test::pump_until(
        {ref_}, [&] { return browsed_.present.empty(); }, 2s));
}

// Devices added at run time keep their own number (the "id" of their TXT
// record), also when one added before them has gone.
TEST_F(MdnsControlTest, ANumberIsNeverGivenTwice) {
    const std::string suffix = "-" + std::to_string(getpid());
    ASSERT_EQ(command("add First" + suffix), "ok\n");
    ASSERT_EQ(command("add Second" + suffix), "ok\n");
    ASSERT_EQ(command("remove First" + suffix), "ok\n");
    ASSERT_EQ(command("add Third" + suffix), "ok\n");
    auto id_of = [&](const std::string& name) {
        dnssd_test::Resolved resolved;
        DNSServiceRef ref = nullptr;
        EXPECT_EQ(DNSServiceResolve(&ref, 0, 0, name.c_str(), "_netaudio-cmc._udp.", "local",
                                    dnssd_test::Resolved::callback, &resolved),
                  kDNSServiceErr_NoError);
        dnssd_test::pump_until(
            {ref}, [&] { return resolved.done; }, 5s);
        DNSServiceRefDeallocate(ref);
        return resolved.value("id");
    };
    const std::string second = id_of("Second" + suffix);
    const std::string third = id_of("Third" + suffix);
    EXPECT_NE(second, "<absent>");
    EXPECT_NE(third, "<absent>");
    EXPECT_NE(second, third);
}

}  // namespace
