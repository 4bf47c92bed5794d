#include "device/frame_codec.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

Bytes frame_of(const Bytes& message) {
    Bytes out(kFrameBufferSize);
    out.resize(encode_frame(message, out));
    return out;
}

TEST(Crc16, CheckValues) {
    constexpr std::string_view check = "123456789";
    EXPECT_EQ(crc16_xmodem({reinterpret_cast<const uint8_t*>(check.data()), check.size()}),
              0x31C3);
    EXPECT_EQ(crc16_xmodem(Bytes{0x01}), 0x1021);
    EXPECT_EQ(crc16_xmodem(Bytes{}), 0x0000);
}

TEST(FrameEncoding, StuffsMarkerBytes) {
    EXPECT_THAT(frame_of({0x01, 0x21, 0x10}), ElementsAre(0x01, 0x10, 0x01, 0x21, 0x10, 0x10, 0x04));
    EXPECT_THAT(frame_of({0x09, 0x29, 0x91}), ElementsAre(0x01, 0x09, 0x29, 0x91, 0x04));
    EXPECT_THAT(frame_of({0x04}), ElementsAre(0x01, 0x10, 0x04, 0x04));
}

TEST(FrameEncoding, RefusesAFrameThatDoesNotFit) {
    Bytes out(8);
    EXPECT_EQ(encode_frame(Bytes{2, 3, 5, 6, 7, 8}, out), 8u);
    EXPECT_EQ(encode_frame(Bytes{2, 3, 5, 6, 7, 8, 9}, out), 0u);  // 9 bytes needed
    EXPECT_EQ(encode_frame(Bytes{0x10, 0x10, 0x10, 0x10}, out), 0u);  // 10 bytes stuffed
}

TEST(FrameDecoder, CompletesOnAGoodCrcOnly) {
    FrameDecoder good;
    EXPECT_TRUE(good.feed(Bytes{0x01, 0x10, 0x01, 0x02, 0x05, 0xF7, 0x10, 0x01, 0x04}));
    EXPECT_THAT(good.frame(), ElementsAre(0x01, 0x02, 0x05, 0xF7, 0x01));

    FrameDecoder bad;
    EXPECT_FALSE(bad.feed(Bytes{0x01, 0x10, 0x01, 0x02, 0x05, 0xF7, 0x10, 0x02, 0x04}));
    EXPECT_FALSE(bad.complete());

    FrameDecoder too_short;
    EXPECT_FALSE(too_short.feed(Bytes{0x01, 0x00, 0x00, 0x04}));  // two bytes are no frame
}

TEST(FrameDecoder, SohRestartsAndDropsTheRestOfTheRead) {
    FrameDecoder decoder;
    // Garbage, then a new frame, then bytes after its end that must be dropped.
    const Bytes read = {0x33, 0x44, 0x01, 0x09, 0x03, 0x00, 0x10, 0x01, 0x00, 0x91, 0x00, 0x04,
                        0x01, 0x55};
    EXPECT_TRUE(decoder.feed(read));
    EXPECT_THAT(decoder.frame(), ElementsAre(0x09, 0x03, 0x00, 0x01, 0x00, 0x91, 0x00));
}

TEST(FrameDecoder, FrameSpreadOverSeveralReads) {
    FrameDecoder decoder;
    EXPECT_FALSE(decoder.feed(Bytes{0x01, 0x10}));
    EXPECT_FALSE(decoder.feed(Bytes{0x01, 0x02, 0x05, 0xF7}));
    EXPECT_TRUE(decoder.feed(Bytes{0x10, 0x01, 0x04}));
    EXPECT_EQ(decoder.frame().size(), 5u);
}

TEST(FrameDecoder, RestartsAfter2046BytesWithoutAnEnd) {
    FrameDecoder decoder;
    Bytes flood(1 + 2046, 0x55);
    flood[0] = 0x01;
    EXPECT_FALSE(decoder.feed(flood));
    EXPECT_EQ(decoder.frame().size(), 2046u);
    // The next byte starts over instead of growing the frame past its buffer.
    EXPECT_FALSE(decoder.feed(Bytes{0x09}));
    EXPECT_EQ(decoder.frame().size(), 1u);
    // A good frame after the flood, without its own SOH, still decodes.
    EXPECT_TRUE(decoder.feed(Bytes{0x03, 0x00, 0x10, 0x01, 0x00, 0x91, 0x00, 0x04}));
}

TEST(FrameDecoder, NeverGrowsPastItsBufferWhateverItIsFed) {
    FrameDecoder decoder;
    Bytes flood(10000);
    for (size_t i = 0; i < flood.size(); ++i) {
        flood[i] = (i % 3 == 0) ? 0x10 : static_cast<uint8_t>(i);
    }
    decoder.feed(flood);
    EXPECT_LE(decoder.frame().size(), FrameDecoder::kRestartLength);
}

}  // namespace
