// The DNS-SD layer's service queries: how the record lists follow adverts
// and how batches of results reach the caller. The queries are fed directly
// with what a responder's results would be, so no multicast DNS starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avn/browse/dt_dnssd.h"

namespace {

constexpr uint16_t kSrv = 33;
constexpr uint16_t kTxt = 16;

std::vector<uint8_t> srv_rdata(uint16_t port, const std::vector<std::string>& labels) {
    std::vector<uint8_t> rdata = {
        0, 0, 0, 0, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    for (const std::string& label : labels) {
        rdata.push_back(static_cast<uint8_t>(label.size()));
        rdata.insert(rdata.end(), label.begin(), label.end());
    }
    rdata.push_back(0);
    return rdata;
}

struct Calls {
    std::vector<uint32_t> flags;
    bool release_inside = false;
    static void callback(dt_dnssd_query* query, void* context, uint32_t flags) {
        auto* self = static_cast<Calls*>(context);
        self->flags.push_back(flags);
        if (self->release_inside) {
            dt_dnssd_query_release(query);
        }
    }
};

class DtDnssdQuery : public ::testing::Test {
  protected:
    void SetUp() override {
        query_ = dt_dnssd_query_new_detached("Stage._netaudio-cmc._udp.local.", Calls::callback,
                                             &calls_);
        ASSERT_NE(query_, nullptr);
    }
    void TearDown() override {
        if (query_ != nullptr) {
            dt_dnssd_query_release(query_);
        }
    }
    void feed(uint16_t type, const std::vector<uint8_t>& rdata, uint32_t interface_index, bool add,
              bool more = false) {
        const DNSServiceFlags flags =
            (add ? kDNSServiceFlagsAdd : 0) | (more ? kDNSServiceFlagsMoreComing : 0);
        dt_dnssd_query_reply(nullptr, flags, interface_index, 0, "Stage._netaudio-cmc._udp.local.",
                             type, 1, static_cast<uint16_t>(rdata.size()), rdata.data(), 120,
                             query_);
    }

    Calls calls_;
    dt_dnssd_query* query_ = nullptr;
};

TEST_F(DtDnssdQuery, OneCallbackPerBatchWithTheUnionOfItsChanges) {
    feed(kTxt, {3, 'a', '=', '1'}, 2, true, true);
    feed(kTxt, {3, 'b', '=', '1'}, 2, true, true);
    EXPECT_TRUE(calls_.flags.empty());
    feed(kTxt, {3, 'c', '=', '1'}, 2, true);
    ASSERT_EQ(calls_.flags.size(), 1u);
    EXPECT_EQ(calls_.flags[0], DT_DNSSD_TXT_ADDED | DT_DNSSD_IN_CALLBACK);
    EXPECT_EQ(dt_dnssd_query_record_count(query_, kTxt), 3u);

    // A withdrawal of a record never seen changes nothing and calls nothing.
    feed(kTxt, {3, 'z', '=', '1'}, 2, false);
    EXPECT_EQ(calls_.flags.size(), 1u);
    // An advert seen again on the same interface is no change either.
    feed(kTxt, {3, 'a', '=', '1'}, 2, true);
    EXPECT_EQ(calls_.flags.size(), 1u);
}

TEST_F(DtDnssdQuery, ARecordOnTwoInterfacesGoesWithTheLastOfThem) {
    const auto rdata = srv_rdata(8800, {"stage", "local"});
    feed(kSrv, rdata, 3, true);
    feed(kSrv, rdata, 5, true);
    ASSERT_EQ(calls_.flags.size(), 1u);  // the second interface is no change
    uint32_t mask = 0;
    ASSERT_NE(dt_dnssd_query_slot(query_, kSrv, 0, nullptr, &mask, nullptr), nullptr);
    EXPECT_EQ(mask, (1u << 3) | (1u << 5));

    feed(kSrv, rdata, 3, false);
    EXPECT_EQ(dt_dnssd_query_record_count(query_, kSrv), 1u);
    EXPECT_EQ(calls_.flags.size(), 1u);
    feed(kSrv, rdata, 5, false);
    EXPECT_EQ(dt_dnssd_query_record_count(query_, kSrv), 0u);
    ASSERT_EQ(calls_.flags.size(), 2u);
    EXPECT_EQ(calls_.flags[1], DT_DNSSD_SRV_REMOVED | DT_DNSSD_IN_CALLBACK);
}

// Interfaces 1 and 33 share a bit of the mask: a goodbye on one must not
// take away the record still advertised on the other.
TEST_F(DtDnssdQuery, InterfacesWhoseBitsCollideAreTrackedApart) {
    const auto rdata = srv_rdata(8800, {"stage", "local"});
    feed(kSrv, rdata, 1, true);
    feed(kSrv, rdata, 33, true);
    feed(kSrv, rdata, 33, false);
    EXPECT_EQ(dt_dnssd_query_record_count(query_, kSrv), 1u);
    uint32_t mask = 0;
    ASSERT_NE(dt_dnssd_query_slot(query_, kSrv, 0, nullptr, &mask, nullptr), nullptr);
    EXPECT_EQ(mask, 1u << 1);
    ASSERT_EQ(calls_.flags.size(), 1u);
    feed(kSrv, rdata, 1, false);
    EXPECT_EQ(dt_dnssd_query_record_count(query_, kSrv), 0u);
    EXPECT_EQ(calls_.flags.back(), DT_DNSSD_SRV_REMOVED | DT_DNSSD_IN_CALLBACK);
}

// A host sending ever new TXT data for one instance fills the list to its
// bound and no further; the records held stay.
TEST_F(DtDnssdQuery, ListsStopGrowingAtTheirBound) {
    for (uint8_t i = 0; i < 200; ++i) {
        feed(kTxt, {3, 'a', '=', i}, 2, true, i + 1 < 200);
    }
    EXPECT_EQ(dt_dnssd_query_record_count(query_, kTxt), 32u);
    feed(kTxt, {3, 'a', '=', 0}, 2, false);
    feed(kTxt, {3, 'a', '=', 250}, 2, true);
    EXPECT_EQ(dt_dnssd_query_record_count(query_, kTxt), 32u);
    ASSERT_NE(dt_dnssd_query_slot(query_, kTxt, 0, nullptr, nullptr, nullptr), nullptr);
}

TEST_F(DtDnssdQuery, AFreedSlotIsFilledAgainAndReadAsTheTarget) {
    feed(kSrv, srv_rdata(8800, {"old", "local"}), 2, true);
    feed(kSrv, srv_rdata(8801, {"other", "local"}), 2, true);
    feed(kSrv, srv_rdata(8800, {"old", "local"}), 2, false);
    feed(kSrv, srv_rdata(9000, {"new-unit", "local"}), 2, true);
    EXPECT_EQ(dt_dnssd_query_slot_count(query_, kSrv), 2u);
    uint16_t port = 0;
    char host[DT_DNSSD_HOST_NAME_SIZE];
    ASSERT_EQ(dt_dnssd_query_get_srv(query_, DT_DNSSD_SRV_ADDED, &port, host), AUD_SUCCESS);
    EXPECT_EQ(port, 9000);
    EXPECT_STREQ(host, "new-unit.local.");
    uint32_t sequence = 0;
    dt_dnssd_query_slot(query_, kSrv, 0, nullptr, nullptr, &sequence);
    EXPECT_EQ(sequence, 3u);
    EXPECT_EQ(dt_dnssd_query_get_srv(query_, DT_DNSSD_TXT_ADDED, &port, host),
              AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(dt_dnssd_query_get_srv(query_, DT_DNSSD_SRV_ADDED, &port, nullptr),
              AUD_ERR_INVALIDPARAMETER);
}

TEST_F(DtDnssdQuery, TargetsThatDoNotFitOrRunPastGiveNoData) {
    struct Case {
        std::vector<uint8_t> rdata;
        const char* what;
    };
    auto past = srv_rdata(1, {"abc"});
    past[6] = 20;  // the label claims more than the rdata holds
    auto unterminated = srv_rdata(1, {"abc"});
    unterminated.pop_back();
    const Case cases[] = {
        {srv_rdata(1, {std::string(40, 'a'), std::string(30, 'b')}), "longer than 71 bytes"},
        {srv_rdata(1, {std::string(64, 'a')}), "a label of 64 bytes"},
        {past, "a label past the rdata"},
        {unterminated, "no final label"},
    };
    for (const Case& c : cases) {
        dt_dnssd_query* query = dt_dnssd_query_new_detached("x._a._udp.local.", nullptr, nullptr);
        dt_dnssd_query_reply(nullptr, kDNSServiceFlagsAdd, 1, 0, "x", kSrv, 1,
                             static_cast<uint16_t>(c.rdata.size()), c.rdata.data(), 120, query);
        char host[DT_DNSSD_HOST_NAME_SIZE];
        uint16_t port = 0;
        EXPECT_EQ(dt_dnssd_query_get_srv(query, DT_DNSSD_SRV_ADDED, &port, host), AUD_ERR_NODATA)
            << c.what;
        dt_dnssd_query_release(query);
    }
    // 70 characters with the dots fit.
    const auto fits = srv_rdata(1, {std::string(40, 'a'), std::string(28, 'b')});
    dt_dnssd_query* query = dt_dnssd_query_new_detached("x._a._udp.local.", nullptr, nullptr);
    dt_dnssd_query_reply(nullptr, kDNSServiceFlagsAdd, 1, 0, "x", kSrv, 1,
                         static_cast<uint16_t>(fits.size()), fits.data(), 120, query);
    char host[DT_DNSSD_HOST_NAME_SIZE];
    EXPECT_EQ(dt_dnssd_query_get_srv(query, DT_DNSSD_SRV_ADDED, nullptr, host), AUD_SUCCESS);
    dt_dnssd_query_release(query);
}

TEST_F(DtDnssdQuery, ReleasedInsideItsCallbackItIsFreedAfterwards) {
    calls_.release_inside = true;
    feed(kTxt, {3, 'a', '=', '1'}, 2, true);
    ASSERT_EQ(calls_.flags.size(), 1u);
    query_ = nullptr;  // freed once the callback returned (ASan would see a leak or a reuse)
}

TEST(DtDnssdLog, OnlyWarningsAndAboveReachStandardErrorByDefault) {
    std::vector<std::pair<uint32_t, std::string>> lines;
    dt_log_set_sink(
        [](uint32_t output, const char* line, void* context) {
            static_cast<std::vector<std::pair<uint32_t, std::string>>*>(context)->emplace_back(
                output, line);
        },
        &lines);
    dt_log_get_settings().timestamps = false;
    dt_log(1, "%s: debug", "f");
    dt_log(4, "%s: warning", "f");
    dt_log(5, "%s: error\n", "f");
    dt_log_set_sink(nullptr, nullptr);
    dt_log_get_settings().timestamps = true;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].first, DT_LOG_OUTPUT_STDERR);
    EXPECT_EQ(lines[0].second, "Warning: f: warning\n");
    EXPECT_EQ(lines[1].second, "Error: f: error\n");
    EXPECT_STREQ(dt_log_level_name(12), "Undefined error");
}

TEST(DtDnssdHandle, SharedModeIsRefusedQuietlyAndNullHandlesAreRefused) {
    dt_dnssd_handle* handle = nullptr;
    ASSERT_EQ(dnssd_init_shared(nullptr, &handle, 1), AUD_SUCCESS);
    EXPECT_EQ(dt_dnssd_stop_processing(handle), AUD_SUCCESS);
    EXPECT_EQ(dt_dnssd_stop_processing(nullptr), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(dt_dnssd_query_service(handle, "", nullptr, nullptr), nullptr);
    dt_dnssd_handle_delete(handle);
}

}  // namespace
