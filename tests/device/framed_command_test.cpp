#include "device/framed_command.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "avn/runtime/byte_order.h"
#include "tests/device/fake_transport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr uint16_t kFastInterval = 10;

// A frame around `message` with its CRC appended.
Bytes reply_frame(Bytes message) {
    const uint16_t crc = crc16_xmodem(message);
    message.push_back(static_cast<uint8_t>(crc));
    message.push_back(static_cast<uint8_t>(crc >> 8));
    Bytes out(kFrameBufferSize);
    out.resize(encode_frame(message, out));
    return out;
}

struct Link {
    FakeTransport* fake;
    std::unique_ptr<FramedCommandLink> link;
};

Link open_link() {
    auto transport = std::make_unique<FakeTransport>();
    FakeTransport* fake = transport.get();
    fake->open(1000);
    return {fake, std::make_unique<FramedCommandLink>(std::move(transport))};
}

// Replies with `frames`, one per write, in order; then stays silent.
FakeTransport::Responder reply_with(std::vector<Bytes> frames) {
    auto remaining = std::make_shared<std::deque<Bytes>>(frames.begin(), frames.end());
    return [remaining](FakeTransport& t, const FakeTransport::Written&) {
        if (!remaining->empty()) {
            t.queue_incoming(0, remaining->front());
            remaining->pop_front();
        }
        return true;
    };
}

TEST(FramedCommand, FramesOfTheVersionQueries) {
    Link l = open_link();
    EXPECT_FALSE(l.link->send_command(CMD_BOOTLOADER_VERSION, {}, 1, kFastInterval));
    EXPECT_FALSE(l.link->send_command(CMD_APPLICATION_VERSION, {}, 1, kFastInterval));
    const auto writes = l.fake->writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].channel, 0u);
    EXPECT_THAT(writes[0].message, ElementsAre(0x01, 0x10, 0x01, 0x21, 0x10, 0x10, 0x04));
    EXPECT_THAT(writes[1].message, ElementsAre(0x01, 0x09, 0x29, 0x91, 0x04));
}

TEST(FramedCommand, FirstSequencedCommandAfterAResetCarriesOne) {
    Link l = open_link();
    EXPECT_FALSE(l.link->send_command(0x81, {}, 1, kFastInterval));
    EXPECT_EQ(l.link->sequence_number(), 1u);
    EXPECT_THAT(l.fake->writes().at(0).message,
                ElementsAre(0x01, 0x81, 0x00, 0x00, 0x00, 0x10, 0x01, 0xA0, 0x98, 0x04));
    // The next sequenced command that is not 129 counts on.
    EXPECT_FALSE(l.link->send_command(0x82, {}, 1, kFastInterval));
    EXPECT_EQ(l.link->sequence_number(), 2u);
    // Type 1 resets the count; unsequenced types leave it alone.
    EXPECT_FALSE(l.link->send_command(1, {}, 1, kFastInterval));
    EXPECT_EQ(l.link->sequence_number(), 0u);
}

TEST(FramedCommand, DecodesTheVersionReplies) {
    Link l = open_link();
    l.fake->responder = reply_with({{0x01, 0x10, 0x01, 0x02, 0x05, 0xF7, 0x10, 0x01, 0x04},
                                    {0x01, 0x09, 0x03, 0x00, 0x10, 0x01, 0x00, 0x91, 0x00, 0x04}});
    ASSERT_TRUE(l.link->send_command(CMD_BOOTLOADER_VERSION, {}, kVersionQueryAttempts,
                                     kFastInterval));
    EXPECT_EQ(decode_bootloader_version(l.link->reply_message()), 0x0205);
    EXPECT_EQ(format_bootloader_version(0x0205), "2.5");

    ASSERT_TRUE(l.link->send_command(CMD_APPLICATION_VERSION, {}, kVersionQueryAttempts,
                                     kFastInterval));
    EXPECT_EQ(decode_application_version(l.link->reply_message()), 0x00010003u);
    EXPECT_EQ(format_application_version(0x00010003), "1.3");
    EXPECT_EQ(l.fake->writes().size(), 2u);
}

TEST(FramedCommand, ShortRepliesDecodeToNothing) {
    EXPECT_EQ(decode_bootloader_version(Bytes{0x01, 0x02, 0xAA, 0xBB}), std::nullopt);
    EXPECT_EQ(decode_application_version(Bytes{0x09, 0x03, 0x00, 0x01, 0xAA, 0xBB}),
              std::nullopt);
    EXPECT_EQ(decode_bootloader_version(Bytes{}), std::nullopt);
}

TEST(FramedCommand, GivesUpAfterItsAttempts) {
    Link l = open_link();
    EXPECT_FALSE(l.link->send_command(CMD_BOOTLOADER_VERSION, {}, 3, kFastInterval));
    EXPECT_EQ(l.fake->writes().size(), 3u);
}

TEST(FramedCommand, AFailedWriteStillUsesAnAttempt) {
    Link l = open_link();
    l.fake->responder = [](FakeTransport&, const FakeTransport::Written&) { return false; };
    EXPECT_FALSE(l.link->send_command(CMD_BOOTLOADER_VERSION, {}, 4, kFastInterval));
    EXPECT_EQ(l.fake->writes().size(), 4u);
}

TEST(FramedCommand, TypesWithFixedRulesIgnoreTheCallersAttempts) {
    Link l = open_link();
    EXPECT_FALSE(l.link->send_command(4, {}, 5, kFastInterval));
    EXPECT_EQ(l.fake->writes().size(), 1u);
    EXPECT_FALSE(l.link->send_command(11, {}, 5, kFastInterval));
    EXPECT_EQ(l.fake->writes().size(), 2u);
}

TEST(FramedCommand, RefusedTypesSendNothing) {
    Link l = open_link();
    for (int type : {0, 8, 17, 0x80, 136, 145, 255}) {
        EXPECT_FALSE(l.link->send_command(static_cast<uint8_t>(type), {}, 1, kFastInterval)) << type;
    }
    EXPECT_TRUE(l.fake->writes().empty());
}

TEST(FramedCommand, NothingIsSentOnAClosedTransport) {
    auto transport = std::make_unique<FakeTransport>();
    FakeTransport* fake = transport.get();
    FramedCommandLink link(std::move(transport));
    EXPECT_FALSE(link.send_command(CMD_BOOTLOADER_VERSION, {}, 5, kFastInterval));
    EXPECT_TRUE(fake->writes().empty());
}

TEST(FramedCommand, ABadCrcIsNeverAcceptedHoweverOftenRepeated) {
    Link l = open_link();
    const Bytes bad = {0x01, 0x10, 0x01, 0x02, 0x05, 0xF7, 0x10, 0x02, 0x04};
    l.fake->responder = [&bad](FakeTransport& t, const FakeTransport::Written&) {
        for (int i = 0; i < 5; ++i) {
            t.queue_incoming(0, bad);
        }
        return true;
    };
    EXPECT_FALSE(l.link->send_command(CMD_BOOTLOADER_VERSION, {}, 3, kFastInterval));
    EXPECT_EQ(l.fake->writes().size(), 3u);
}

TEST(FramedCommand, WrongTypeAndWrongSequenceAreIgnored) {
    Link l = open_link();
    // A reply of another type is already waiting; the right one follows the write.
    l.fake->queue_incoming(0, reply_frame({0x09, 0x03, 0x00, 0x01, 0x00}));
    l.fake->responder = reply_with({reply_frame({0x01, 0x02, 0x05})});
    ASSERT_TRUE(l.link->send_command(CMD_BOOTLOADER_VERSION, {}, 2, kFastInterval));
    EXPECT_EQ(decode_bootloader_version(l.link->reply_message()), 0x0205);

    // Sequenced: wrong number, too short, then the right number.
    Link s = open_link();
    s.fake->responder = [](FakeTransport& t, const FakeTransport::Written&) {
        t.queue_incoming(0, reply_frame({0x82, 0, 0, 0, 9, 0xAB}));
        t.queue_incoming(0, reply_frame({0x82, 0, 0, 0}));
        t.queue_incoming(0, reply_frame({0x82, 0, 0, 0, 1, 0xAB, 0xCD}));
        return true;
    };
    ASSERT_TRUE(s.link->send_command(0x82, {}, 5, kFastInterval));
    // The accepted reply is rewritten without its sequence number, with a new CRC.
    const Bytes expected = [] {
        Bytes m = {0x02, 0xAB, 0xCD};
        const uint16_t crc = crc16_xmodem(m);
        m.push_back(static_cast<uint8_t>(crc));
        m.push_back(static_cast<uint8_t>(crc >> 8));
        return m;
    }();
    EXPECT_THAT(s.link->reply_message(), ElementsAreArray(expected));
    EXPECT_EQ(s.fake->writes().size(), 1u);
}

TEST(FramedCommand, TransportClosedWhileWaitingEndsTheExchange) {
    Link l = open_link();
    l.fake->responder = [](FakeTransport& t, const FakeTransport::Written&) {
        t.drop_link();
        return true;
    };
    EXPECT_FALSE(l.link->send_command(CMD_BOOTLOADER_VERSION, {}, 5, 2000));
    EXPECT_EQ(l.fake->writes().size(), 1u);
}

TEST(FramedCommand, PayloadsFollowTheirTypes) {
    Link l = open_link();
    const Bytes data = {0xAA, 0x00, 0xBB};
    EXPECT_FALSE(l.link->send_command(3, data, 1, kFastInterval));   // the caller's bytes
    EXPECT_FALSE(l.link->send_command(10, data, 1, kFastInterval));  // text with its terminator
    EXPECT_FALSE(l.link->send_command(6, data, 1, kFastInterval));   // 72 bytes needed: refused
    const auto writes = l.fake->writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_THAT(Bytes(writes[0].message.begin() + 1, writes[0].message.begin() + 5),
                ElementsAre(0x03, 0xAA, 0x00, 0xBB));
    EXPECT_THAT(Bytes(writes[1].message.begin() + 1, writes[1].message.begin() + 4),
                ElementsAre(0x0A, 0xAA, 0x00));
}

TEST(FramedCommand, AMessageWhoseFrameWouldNotFitIsRefused) {
    Link l = open_link();
    // 1100 bytes that all need stuffing: 2200 framed bytes, past the 2048-byte buffer.
    EXPECT_FALSE(l.link->send_command(3, Bytes(1100, 0x10), 1, kFastInterval));
    EXPECT_FALSE(l.link->send_command(3, Bytes(4000, 0x55), 1, kFastInterval));
    EXPECT_TRUE(l.fake->writes().empty());
    // The largest message that fits still goes out.
    EXPECT_FALSE(l.link->send_command(3, Bytes(2040, 0x55), 1, kFastInterval));
    ASSERT_EQ(l.fake->writes().size(), 1u);
    EXPECT_LE(l.fake->writes()[0].message.size(), kFrameBufferSize);
}

TEST(FramedCommand, DestroyingTheLinkClosesThenDeletesTheTransport) {
    TransportFate fate;
    auto transport = std::make_unique<FakeTransport>(nullptr, &fate);
    transport->open(1000);
    {
        FramedCommandLink link(std::move(transport));
    }
    EXPECT_TRUE(fate.deleted);
    EXPECT_EQ(fate.closes, 1);
    EXPECT_FALSE(fate.open_when_deleted);
}

// Zero attempts would send nothing and so wait for ever for an answer.
TEST(FramedCommand, ZeroAttemptsGiveUpAtOnce) {
    Link l = open_link();
    EXPECT_FALSE(l.link->send_command(CMD_BOOTLOADER_VERSION, {}, 0, kFastInterval));
    EXPECT_TRUE(l.fake->writes().empty());
}

// A silent unit is given up one poll after the last of its attempts, which
// go out an interval apart: neither sooner nor much later.
TEST(FramedCommand, ASilentUnitIsGivenUpAfterAttemptsTimesInterval) {
    Link l = open_link();
    constexpr uint16_t kAttempts = 4;
    constexpr uint16_t kInterval = 50;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(l.link->send_command(CMD_BOOTLOADER_VERSION, {}, kAttempts, kInterval));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_EQ(l.fake->writes().size(), kAttempts);
    EXPECT_GE(elapsed.count(), (kAttempts - 1) * kInterval);
    EXPECT_LE(elapsed.count(), (kAttempts - 1) * kInterval + 400);
}

}  // namespace
