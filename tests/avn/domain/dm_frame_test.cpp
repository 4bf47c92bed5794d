// The frame codec of the Domain Manager connection.
#include "avn/domain/dm_frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DmFrame, EncodesBigEndianHeaderAndPayload) {
    Bytes out = {0xEE};  // appended to what is there
    ASSERT_EQ(dm_frame_encode(DM_FRAME_SYNC_TO_SERVER, 0x01020304, Bytes{0xAA, 0xBB}, &out),
              AUD_SUCCESS);
    EXPECT_EQ(
        out, Bytes({0xEE, 0xB9, 0x1A, 0x37, 0x26, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 2, 0xAA, 0xBB}));
    out.clear();
    ASSERT_EQ(dm_frame_encode(DM_FRAME_SYNC_TO_SERVER, 6, {}, &out), AUD_SUCCESS);
    EXPECT_EQ(out, Bytes({0xB9, 0x1A, 0x37, 0x26, 0, 0, 0, 6, 0, 0, 0, 0}));
    EXPECT_EQ(dm_frame_encode(DM_FRAME_SYNC_TO_SERVER, 6, {}, nullptr), AUD_ERR_INVALIDPARAMETER);
}

TEST(DmFrame, ParsesOnlyAWholeHeader) {
    const Bytes header = {0xB9, 0x1A, 0x37, 0x25, 0, 0, 0, 3, 0x00, 0x01, 0x00, 0x00, 0x55};
    dm_frame_header parsed{};
    ASSERT_EQ(dm_frame_parse_header(header, &parsed), AUD_SUCCESS);
    EXPECT_EQ(parsed.sync, DM_FRAME_SYNC_FROM_SERVER);
    EXPECT_EQ(parsed.type, 3u);
    EXPECT_EQ(parsed.length, 0x10000u);
    for (const size_t size : {size_t{0}, size_t{1}, size_t{11}}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(dm_frame_parse_header(std::span(header).first(size), &parsed), AUD_ERR_TRUNCATED);
    }
}

TEST(DmFrame, ChecksSyncAndLengthLimit) {
    const struct {
        const char* name;
        dm_frame_header header;
        aud_error expected;
    } cases[] = {
        {"empty payload", {DM_FRAME_SYNC_FROM_SERVER, 3, 0}, AUD_SUCCESS},
        {"at the limit", {DM_FRAME_SYNC_FROM_SERVER, 3, DM_FRAME_MAX_PAYLOAD}, AUD_SUCCESS},
        {"one above", {DM_FRAME_SYNC_FROM_SERVER, 3, DM_FRAME_MAX_PAYLOAD + 1}, AUD_ERR_MSGSIZE},
        {"4 GiB", {DM_FRAME_SYNC_FROM_SERVER, 3, 0xFFFFFFFFu}, AUD_ERR_MSGSIZE},
        {"the sending direction's sync", {DM_FRAME_SYNC_TO_SERVER, 3, 0}, AUD_ERR_INVALIDDATA},
        {"bad sync and bad length", {0, 3, 0xFFFFFFFFu}, AUD_ERR_INVALIDDATA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dm_frame_check_header(c.header, DM_FRAME_SYNC_FROM_SERVER), c.expected);
    }
    // A domain list's two 16-bit lengths: under 128 KiB.
    EXPECT_EQ(DM_FRAME_MAX_PAYLOAD, 128u * 1024);
}

}  // namespace
