#include "device/vendor_envelope.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;

Bytes envelope(uint32_t channel, const Bytes& payload) {
    Bytes out(payload.size() + kEnvelopeOverhead);
    out.resize(encode_vendor_envelope(channel, payload, out));
    return out;
}

TEST(VendorEnvelope, Crc32CheckValue) {
    constexpr std::string_view check = "123456789";
    EXPECT_EQ(envelope_crc32({reinterpret_cast<const uint8_t*>(check.data()), check.size()}),
              0xCBF43926u);
}

TEST(VendorEnvelope, RequestAllOnChannelOne) {
    const Bytes e = envelope(1, {0x00});
    ASSERT_EQ(e.size(), 13u);
    EXPECT_THAT(Bytes(e.begin(), e.begin() + 9), ElementsAre(0, 0, 0, 1, 0, 0, 0, 1, 0));
    const uint32_t crc = envelope_crc32(Bytes(e.begin(), e.begin() + 9));
    EXPECT_THAT(Bytes(e.begin() + 9, e.end()),
                ElementsAre(crc >> 24, (crc >> 16) & 0xFF, (crc >> 8) & 0xFF, crc & 0xFF));
    EXPECT_EQ(envelope(1, Bytes(6, 1)).size(), 18u);
}

TEST(VendorEnvelope, DecodesOnlyWholeEnvelopesWithTheirCrc) {
    const Bytes good = envelope(0, {0x01, 0x10, 0x04});
    const auto decoded = decode_vendor_envelope(good);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->channel, 0u);
    EXPECT_THAT(decoded->payload, ElementsAre(0x01, 0x10, 0x04));

    Bytes bad_crc = good;
    bad_crc.back() ^= 1;
    EXPECT_FALSE(decode_vendor_envelope(bad_crc));

    // Eleven bytes are never an envelope, whatever their CRC.
    EXPECT_FALSE(decode_vendor_envelope(Bytes(good.begin(), good.begin() + 11)));

    // An empty payload is a valid envelope of length 0.
    const auto empty = decode_vendor_envelope(envelope(1, {}));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->payload.empty());
}

TEST(VendorEnvelope, ALengthBeyondTheBytesIsRefused) {
    Bytes e = envelope(1, {1, 2, 3});
    e[7] = 200;  // claims 200 payload bytes; re-seal it with a matching CRC
    const uint32_t crc = envelope_crc32(Bytes(e.begin(), e.end() - 4));
    e[e.size() - 4] = static_cast<uint8_t>(crc >> 24);
    e[e.size() - 3] = static_cast<uint8_t>(crc >> 16);
    e[e.size() - 2] = static_cast<uint8_t>(crc >> 8);
    e[e.size() - 1] = static_cast<uint8_t>(crc);
    EXPECT_FALSE(decode_vendor_envelope(e));
}

TEST(VendorEnvelope, RefusesWhatDoesNotFit) {
    Bytes out(12);
    EXPECT_EQ(encode_vendor_envelope(1, Bytes{1}, out), 0u);
    EXPECT_EQ(encode_vendor_envelope(1, Bytes{}, out), 12u);
}

}  // namespace
