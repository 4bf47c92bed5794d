// Device browsing inside a managed domain: the browse request that the
// domain device browser sends through the lookup service, and how the
// Domain Manager's results and answers change the tree.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "avn/browse/db_browse_tree.h"
#include "avn/browse/db_domain_browse.h"
#include "avn/conmon/db_lookup.h"
#include "avn/conmon/avn_packet.h"
#include "avn/runtime/byte_order.h"
#include "avn/runtime/domain_provider.h"

namespace {

constexpr uint8_t kVornix[8] = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};

struct FakeDomainManager {
    domain_current current{};
    int connection = DOMAIN_CONNECTION_CONNECTED;
    bool refuse_sends = false;  // the relay cannot send (the connection is going)
    std::vector<std::vector<uint8_t>> sent;
};

std::vector<uint8_t> txt(const std::vector<std::string>& strings) {
    std::vector<uint8_t> bytes;
    for (const std::string& s : strings) {
        bytes.push_back(static_cast<uint8_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    return bytes;
}

class DomainBrowse : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
        dm_.current.uuid.bytes[0] = 0xD0;
        dm_.current.uuid.bytes[15] = 1;
        dm_.current.flags = 2;
        dm_.current.access = 1;
        domain_provider_ops ops{};
        ops.current_domain = [](void* c) { return static_cast<FakeDomainManager*>(c)->current; };
        ops.connection_state = [](void* c) {
            return static_cast<FakeDomainManager*>(c)->connection;
        };
        ops.relay_send = [](void* c, const uint8_t* data, size_t length) -> aud_error {
            auto* dm = static_cast<FakeDomainManager*>(c);
            if (dm->refuse_sends) {
                return AUD_ERR_NOTCONN;
            }
            dm->sent.emplace_back(data, data + length);
            return AUD_SUCCESS;
        };
        ASSERT_EQ(domain_provider_new(env_, &ops, &dm_, &provider_), AUD_SUCCESS);
        ASSERT_EQ(domain_listener_new(provider_, nullptr, nullptr, this, &listener_), AUD_SUCCESS);
        domain_provider_notify_domain_changed(provider_);
        ASSERT_EQ(db_lookup_service_new(this, listener_, &lookups_), AUD_SUCCESS);
        ASSERT_EQ(db_browse_tree_new(nullptr, DB_BROWSE_TYPE_CONMON_DEVICE, &tree_), AUD_SUCCESS);
        db_browse_tree_set_node_callback(
            tree_, [](db_browse*, const db_browse_change* change, int type) {
                removals +=
                    change->kind == DB_BROWSE_CHANGE_KIND_NODE && type == DB_BROWSE_CHANGE_REMOVED;
            });
        removals = 0;
        ASSERT_EQ(db_domain_browse_new(env_, DB_BROWSE_TYPE_CONMON_DEVICE, tree_, lookups_,
                                       listener_, &browser_),
                  AUD_SUCCESS);
    }

    void TearDown() override {
        db_domain_browse_delete(browser_, false);
        db_lookup_service_delete(lookups_);
        db_browse_tree_delete(tree_);
        domain_listener_delete(listener_);
        domain_provider_delete(provider_);
        aud_env_delete(env_);
    }

    avn_packet_view request() const {
        avn_packet_view view;
        EXPECT_EQ(avn_packet_read(dm_.sent.front(), &view), AUD_SUCCESS);
        return view;
    }

    uint32_t request_id() const {
        return byte_order::load_be32(avn_packet_data(request()).data() + 16);
    }

    // A 0x200B result for `id`; with a device record when `cmc` is given.
    std::vector<uint8_t> result(uint32_t id, uint16_t flags, const char* name = nullptr,
                                const std::vector<uint8_t>* cmc = nullptr, size_t data_size = 24) {
        std::vector<uint8_t> buffer(1500);
        avn_packet_builder b;
        avn_packet_begin(&b, buffer, AVN_PACKET_KIND_REQUEST,
                         {0x7F000001, domain_listener_get_id(listener_)},
                         {AVN_PACKET_NODE_DOMAIN_MANAGER, 0});
        avn_packet_add_chunk(&b, DB_LOOKUP_MESSAGE_RESULT, ++sequence_, 0);
        std::vector<uint8_t> data(data_size, 0);
        if (data_size >= 24) {
            byte_order::store_be32(data.data() + 16, id);
            byte_order::store_be16(data.data() + 20, flags);
        }
        avn_packet_add_data(&b, data);
        if (name != nullptr) {
            uint16_t name_at = 0, host = 0, type = 0, txt_at = 0, info = 0, entry_at = 0, list = 0,
                     record = 0;
            avn_packet_append_text(&b, name, &name_at);
            avn_packet_append_text(&b, (std::string(name) + ".local").c_str(), &host);
            avn_packet_append_text(&b, "_netaudio-cmc._udp", &type);
            if (!cmc->empty()) {
                avn_packet_append(&b, *cmc, &txt_at);
            }
            uint8_t block[8] = {};
            byte_order::store_be16(block, 0x01);
            byte_order::store_be16(block + 2, host);
            avn_packet_append(&b, block, &info);
            uint8_t entry[12] = {};
            byte_order::store_be16(entry, 0x3);
            byte_order::store_be16(entry + 2, type);
            byte_order::store_be16(entry + 4, txt_at);
            byte_order::store_be16(entry + 6, static_cast<uint16_t>(cmc->size()));
            avn_packet_append(&b, entry, &entry_at);
            uint8_t services[8] = {};
            byte_order::store_be16(services, 1);
            byte_order::store_be16(services + 4, entry_at);
            avn_packet_append(&b, services, &list);
            uint8_t head[8] = {};
            byte_order::store_be16(head, name_at);
            byte_order::store_be16(head + 2, 0x3);
            byte_order::store_be16(head + 4, info);
            byte_order::store_be16(head + 6, list);
            avn_packet_append(&b, head, &record);
            avn_packet_patch16(&b, 22, record);
        }
        const auto packet = avn_packet_finish(&b);
        return {packet.begin(), packet.end()};
    }

    // Hands a packet to the lookup service; the status of its answer.
    uint16_t receive(const std::vector<uint8_t>& packet) {
        const size_t before = dm_.sent.size();
        db_lookup_service_receive(lookups_, packet);
        if (dm_.sent.size() != before + 1) {
            return 0xFFFF;
        }
        avn_packet_view answer;
        EXPECT_EQ(avn_packet_read(dm_.sent.back(), &answer), AUD_SUCCESS);
        EXPECT_EQ(answer.kind, AVN_PACKET_KIND_REPLY);
        return answer.status;
    }

    static inline int removals = 0;
    aud_env* env_ = nullptr;
    FakeDomainManager dm_;
    domain_provider* provider_ = nullptr;
    domain_listener* listener_ = nullptr;
    db_lookup_service* lookups_ = nullptr;
    db_browse_tree* tree_ = nullptr;
    db_domain_browse* browser_ = nullptr;
    uint16_t sequence_ = 0;
    const std::vector<uint8_t> stage_txt_ =
        txt({"txtvers=1", "mf=Vornix", "model=_0000000000000008"});
};

TEST_F(DomainBrowse, TheBrowseRequestCarriesTheFilter) {
    struct Case {
        const uint8_t* filter;
        uint16_t flags;
    };
    for (const Case& c : {Case{kVornix, 0x0005}, Case{nullptr, 0x0004}}) {
        dm_.sent.clear();
        db_domain_browse* browser = nullptr;
        ASSERT_EQ(db_domain_browse_new(env_, DB_BROWSE_TYPE_CONMON_DEVICE, tree_, lookups_,
                                       listener_, &browser),
                  AUD_SUCCESS);
        db_domain_browse_set_manufacturer_filter(browser, c.filter);
        ASSERT_EQ(db_domain_browse_start(browser, nullptr), AUD_SUCCESS);
        EXPECT_EQ(db_domain_browse_get_state(browser), DB_DOMAIN_BROWSE_BROWSING);
        ASSERT_EQ(dm_.sent.size(), 1u);
        const avn_packet_view view = request();
        EXPECT_EQ(view.type, DB_LOOKUP_MESSAGE_REQUEST);
        EXPECT_EQ(view.destination, (avn_packet_address{AVN_PACKET_NODE_DOMAIN_MANAGER, 0}));
        EXPECT_EQ(view.source.listener, domain_listener_get_id(listener_));
        const auto data = avn_packet_data(view);
        EXPECT_EQ(byte_order::load_be16(data.data() + 22), c.flags);
        EXPECT_EQ(byte_order::load_be16(data.data() + 30), 1);
        EXPECT_EQ(byte_order::load_be32(data.data() + 16) >> 16, domain_listener_get_id(listener_));
        const uint16_t at = byte_order::load_be16(data.data() + 26);
        if (c.filter != nullptr) {
            const auto id = avn_packet_at(view, at, 8);
            ASSERT_FALSE(id.empty());
            EXPECT_EQ(std::memcmp(id.data(), kVornix, 8), 0);
        } else {
            EXPECT_EQ(at, 0);
        }
        db_domain_browse_delete(browser, false);
    }
}

TEST_F(DomainBrowse, WithoutAManagedDomainItWaitsAndSendsNothing) {
    dm_.current.uuid = avn_domain_uuid_adhoc();
    domain_provider_notify_domain_changed(provider_);
    ASSERT_EQ(db_domain_browse_start(browser_, nullptr), AUD_SUCCESS);
    EXPECT_EQ(db_domain_browse_get_state(browser_), DB_DOMAIN_BROWSE_WAITING);
    EXPECT_TRUE(dm_.sent.empty());
    EXPECT_EQ(db_domain_browse_start(browser_, nullptr), AUD_ERR_INVALIDSTATE);
}

TEST_F(DomainBrowse, ResultsUpdateTheTreeAndBadOnesAreRefused) {
    ASSERT_EQ(db_domain_browse_start(browser_, nullptr), AUD_SUCCESS);
    const uint32_t id = request_id();
    EXPECT_EQ(receive(result(id, 0x2, "TPX2-Stage", &stage_txt_)), 0);
    EXPECT_EQ(receive(result(id, 0x2, "TPX2-Booth", &stage_txt_)), 0);
    ASSERT_EQ(db_browse_tree_get_node_count(tree_), 2u);
    db_browse_node* stage = db_browse_tree_find(tree_, "TPX2-Stage");
    ASSERT_NE(stage, nullptr);
    // The record's "TPX2-Stage.local" is kept as its first label, as
    // ad-hoc browsing keeps host names: the name the unit is reached by.
    EXPECT_STREQ(db_browse_node_get_host_name(stage), "TPX2-Stage");
    ASSERT_NE(db_browse_node_get_manufacturer_id(stage), nullptr);
    EXPECT_EQ(std::memcmp(db_browse_node_get_manufacturer_id(stage), kVornix, 8), 0);

    EXPECT_EQ(receive(result(id + 1, 0x2, "TPX2-Other", &stage_txt_)), 5);  // unknown request
    EXPECT_EQ(receive(result(id, 0x2, nullptr, nullptr, 20)), 5);           // too short
    EXPECT_EQ(db_browse_tree_get_node_count(tree_), 2u);

    // A conmon service without TXT withdraws it: the node goes.
    const std::vector<uint8_t> none;
    EXPECT_EQ(receive(result(id, 0x2, "TPX2-Booth", &none)), 0);
    EXPECT_EQ(db_browse_tree_get_node_count(tree_), 1u);
    EXPECT_EQ(removals, 1);

    // The final result ends the request: what it reported goes with it.
    EXPECT_EQ(receive(result(id, 0x1)), 0);
    EXPECT_EQ(db_browse_tree_get_node_count(tree_), 0u);
    EXPECT_EQ(removals, 2);
    EXPECT_EQ(db_lookup_service_request_count(lookups_), 0u);
}

TEST_F(DomainBrowse, ARefusedRequestEmptiesTheTreeAndALostConnectionCancels) {
    ASSERT_EQ(db_domain_browse_start(browser_, nullptr), AUD_SUCCESS);
    const avn_packet_view sent = request();
    EXPECT_EQ(receive(result(request_id(), 0x2, "TPX2-Stage", &stage_txt_)), 0);
    ASSERT_EQ(db_browse_tree_get_node_count(tree_), 1u);

    // The Domain Manager refuses the request (status 3).
    std::vector<uint8_t> buffer(64);
    avn_packet_builder b;
    avn_packet_begin_reply(&b, buffer, sent, 3);
    const auto refusal = avn_packet_finish(&b);
    EXPECT_EQ(db_lookup_service_receive(lookups_, {refusal.begin(), refusal.end()}), AUD_SUCCESS);
    EXPECT_EQ(db_browse_tree_get_node_count(tree_), 0u);
    EXPECT_EQ(removals, 1);
    EXPECT_EQ(db_domain_browse_get_state(browser_), DB_DOMAIN_BROWSE_BROWSING);

    // Connection lost while the tree holds a unit: the unit goes (with its
    // removal callback) and the request is cancelled; back: it asks again.
    db_domain_browse_stop(browser_, false);
    ASSERT_EQ(db_domain_browse_start(browser_, nullptr), AUD_SUCCESS);
    avn_packet_view again;
    ASSERT_EQ(avn_packet_read(dm_.sent.back(), &again), AUD_SUCCESS);
    const uint32_t again_id = byte_order::load_be32(avn_packet_data(again).data() + 16);
    EXPECT_EQ(receive(result(again_id, 0x2, "TPX2-Stage", &stage_txt_)), 0);
    ASSERT_EQ(db_browse_tree_get_node_count(tree_), 1u);
    const int removals_before = removals;
    const size_t before = dm_.sent.size();
    dm_.connection = DOMAIN_CONNECTION_DISCONNECTED;
    db_domain_browse_connection_changed(browser_);
    EXPECT_EQ(db_domain_browse_get_state(browser_), DB_DOMAIN_BROWSE_WAITING);
    EXPECT_EQ(db_browse_tree_get_node_count(tree_), 0u);
    EXPECT_EQ(removals, removals_before + 1);
    ASSERT_EQ(dm_.sent.size(), before + 1);  // the cancel
    avn_packet_view cancel;
    ASSERT_EQ(avn_packet_read(dm_.sent.back(), &cancel), AUD_SUCCESS);
    EXPECT_EQ(cancel.type, DB_LOOKUP_MESSAGE_CANCEL);
    dm_.connection = DOMAIN_CONNECTION_CONNECTED;
    db_domain_browse_connection_changed(browser_);
    EXPECT_EQ(db_domain_browse_get_state(browser_), DB_DOMAIN_BROWSE_BROWSING);
    EXPECT_EQ(dm_.sent.size(), before + 2);
}

// Cancelling every request forgets each of them even when the cancels
// cannot be sent: their owners are about to go, and a request left behind
// would call a freed owner.
TEST_F(DomainBrowse, CancellingAllForgetsEveryRequestEvenWhenNoCancelCanBeSent) {
    db_lookup_request_data data;
    data.domain = dm_.current.uuid;
    data.flags = DB_LOOKUP_FLAG_NAME;
    std::strcpy(data.name, "TPX2-Stage");
    ASSERT_EQ(db_lookup_start(lookups_, this, nullptr, nullptr, &data), AUD_SUCCESS);
    std::strcpy(data.name, "TPX2-Booth");
    ASSERT_EQ(db_lookup_start(lookups_, this, nullptr, nullptr, &data), AUD_SUCCESS);
    ASSERT_EQ(db_lookup_service_request_count(lookups_), 2u);
    dm_.refuse_sends = true;
    EXPECT_EQ(db_lookup_cancel_all(lookups_), AUD_ERR_NOTCONN);
    EXPECT_EQ(db_lookup_service_request_count(lookups_), 0u);
}

}  // namespace
