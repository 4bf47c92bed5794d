// The log's network output, received on loopback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avn/runtime/aud_env.h"
#include "avn/runtime/aud_log.h"
#include "avn/runtime/socket.h"

namespace {

constexpr aud_time kWait{5, 0};

struct Reported {
    int level;
    std::string text;
};

void capture(aud_log*, const char*, int level, const char* text, size_t length, void* context) {
    static_cast<std::vector<Reported>*>(context)->push_back(
        Reported{level, std::string(text, length)});
}

class LogNetwork : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aud_env_acquire(&global), AUD_SUCCESS);  // starts the socket layer
        ASSERT_EQ(aud_log_new(&log), AUD_SUCCESS);
        aud_log_set_level(log, AUD_LOG_LEVEL_VERBOSE);
        aud_log_set_threshold(log, AUD_LOG_OUTPUT_NETWORK, AUD_LOG_LEVEL_VERBOSE);
        aud_log_set_threshold(log, AUD_LOG_OUTPUT_CALLBACK, AUD_LOG_LEVEL_VERBOSE);
        aud_log_set_callback(log, capture, &reported);
    }
    void TearDown() override {
        aud_log_delete(log);
        for (aud_socket_t& s : receivers) {
            aud_socket_close(&s);
        }
        aud_env_release(global);
    }

    // A receiving socket on loopback, made destination `index` of the log.
    void add_receiver(int index) {
        aud_socket_t& s = receivers[index];
        ASSERT_EQ(aud_socket_open_udp(&s, AUD_AF_INET), AUD_SUCCESS);
        aud_socket_address any_port{};
        aud_socket_address_set_ipv4(&any_port, 0x7F000001, 0);
        ASSERT_EQ(aud_socket_bind(s, &any_port), AUD_SUCCESS);
        aud_socket_address bound{};
        ASSERT_EQ(aud_socket_get_local_address(s, &bound), AUD_SUCCESS);
        ASSERT_EQ(aud_log_set_network_destination(log, index, &bound), AUD_SUCCESS);
    }

    std::string receive(int index) {
        if (aud_socket_wait_readable(receivers[index], &kWait) != AUD_SUCCESS) {
            return "<nothing>";
        }
        char buffer[2048];
        size_t length = sizeof buffer;
        EXPECT_EQ(aud_socket_recv(receivers[index], buffer, &length), AUD_SUCCESS);
        return std::string(buffer, length);
    }

    bool nothing_more(int index) {
        const aud_time brief{0, 100000};
        return aud_socket_wait_readable(receivers[index], &brief) == AUD_ERR_TIMEDOUT;
    }

    aud_env* global = nullptr;
    aud_log* log = nullptr;
    aud_socket_t receivers[2] = {AUD_SOCKET_INVALID, AUD_SOCKET_INVALID};
    std::vector<Reported> reported;
};

TEST_F(LogNetwork, LongLinesAreSplitInto1458ByteDatagramsWithThePrefixOnlyInTheFirst) {
    add_receiver(0);
    add_receiver(1);
    std::string text;
    for (int i = 0; text.size() < 3000; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    aud_log_printf(log, AUD_LOG_LEVEL_WARNING, "%s", text.c_str());

    for (int index : {0, 1}) {
        const std::string first = receive(index);
        const std::string second = receive(index);
        const std::string third = receive(index);
        ASSERT_EQ(first.size(), 1458u);
        EXPECT_EQ(first.substr(0, 3), " W ");  // no timestamp by default on the network
        EXPECT_EQ(second.size(), 1458u);
        EXPECT_EQ(third.size(), 3000u - 1455u - 1458u);
        EXPECT_EQ(first.substr(3) + second + third, text);
        EXPECT_TRUE(nothing_more(index));
    }
}

TEST_F(LogNetwork, ShortLineWithTimestamp) {
    add_receiver(0);
    aud_log_set_timestamp_flags(log, AUD_LOG_TIMESTAMP_NETWORK);
    aud_log_printf(log, AUD_LOG_LEVEL_ERROR, "short");
    const std::string datagram = receive(0);
    ASSERT_EQ(datagram.size(), 15u + 8u);
    EXPECT_EQ(datagram.substr(15), " E short");
}

TEST_F(LogNetwork, AFailedSendIsReportedButNotToTheFailingDestination) {
    add_receiver(0);
    aud_socket_address unreachable{};
    aud_socket_address_set_ipv4(&unreachable, 0x7F000001, 0);  // port 0: every send fails
    ASSERT_EQ(aud_log_set_network_destination(log, 1, &unreachable), AUD_SUCCESS);

    aud_log_printf(log, AUD_LOG_LEVEL_INFO, "payload");
    EXPECT_EQ(receive(0), " I payload");
    const std::string report = receive(0);
    EXPECT_TRUE(report.starts_with(" N aud_log: network logging to 127.0.0.1:0 (len=16) (fd "))
        << report;
    EXPECT_TRUE(nothing_more(0));

    // The report is written while the line is on its way to the network,
    // which comes before the callback output.
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].level, AUD_LOG_LEVEL_NOTICE);
    EXPECT_TRUE(
        reported[0].text.starts_with("aud_log: network logging to 127.0.0.1:0 (len=16) (fd "))
        << reported[0].text;
    EXPECT_EQ(reported[1].text, "payload");
}

}  // namespace
