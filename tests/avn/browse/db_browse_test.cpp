// The browse tree's merge, removal and callback rules, and the browse's
// arguments and choice of sub-browsers. Nothing here starts DNS-SD: the
// tree is fed directly, and browses are only configured.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "avn/browse/db_adhoc_browse.h"
#include "avn/browse/db_browse.h"
#include "avn/browse/db_browse_tree.h"
#include "avn/runtime/aud_env.h"
#include "avn/runtime/domain_provider.h"

namespace {

struct Event {
    uint32_t kind;
    int change;
    std::string name;  // device name, or channel default name / label
    uint32_t flags;
};

std::vector<Event>* g_events = nullptr;

void record(db_browse*, const db_browse_change* change, int change_type) {
    if (g_events == nullptr) {
        return;
    }
    Event e{change->kind, change_type, {}, 0};
    if (change->kind == DB_BROWSE_CHANGE_KIND_NODE) {
        const auto* node = static_cast<const db_browse_node*>(change->object);
        e.name = db_browse_node_get_name(node);
        e.flags = db_browse_node_get_flags(node);
    } else if (change->kind == DB_BROWSE_CHANGE_KIND_CHANNEL) {
        e.name = db_browse_channel_get_default_name(
            static_cast<const db_browse_channel*>(change->object));
    }
    g_events->push_back(e);
}

db_conmon_txt conmon(const char* maker, uint8_t model) {
    db_conmon_txt txt{};
    std::memcpy(txt.manufacturer_id, maker, std::strlen(maker));
    txt.model_id[7] = model;
    txt.instance_id.process_id = 8800;
    return txt;
}

class Tree : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(db_browse_tree_new(nullptr, 0x07, &tree_), AUD_SUCCESS);
        db_browse_tree_set_node_callback(tree_, record);
        db_browse_tree_set_network_count(tree_, 2);
        g_events = &events_;
    }
    void TearDown() override {
        g_events = nullptr;
        db_browse_tree_delete(tree_);
    }
    aud_error add_conmon(uint32_t network, const char* name, const db_conmon_txt& txt,
                         const char* host = "host") {
        changed_ = false;
        return db_browse_tree_update_conmon_device(tree_, network, name, host, 8800, &txt,
                                                   &changed_);
    }

    db_browse_tree* tree_ = nullptr;
    std::vector<Event> events_;
    bool changed_ = false;
};

TEST_F(Tree, NamesDifferingInCaseAreOneNodeAndOnlyAnExactWithdrawalCounts) {
    const auto txt = conmon("Vornix", 8);
    ASSERT_EQ(add_conmon(0, "Stage-Box", txt), AUD_SUCCESS);
    ASSERT_EQ(add_conmon(0, "stage-box", txt), AUD_SUCCESS);
    EXPECT_FALSE(changed_);  // the same advert again: nothing to report
    EXPECT_EQ(db_browse_tree_get_node_count(tree_), 1u);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].change, DB_BROWSE_CHANGE_ADDED);

    EXPECT_EQ(db_browse_tree_remove_service(tree_, DB_BROWSE_TYPE_CONMON_DEVICE, 0, "stage-box",
                                            &changed_),
              DB_BROWSE_ERR_NO_DEVICE);
    EXPECT_EQ(db_browse_tree_get_node_count(tree_), 1u);
}

TEST_F(Tree, NodesStayInNameOrderAndLongNamesAreRefused) {
    const auto txt = conmon("Vornix", 8);
    for (const char* name : {"delta", "Alpha", "charlie", "Bravo"}) {
        ASSERT_EQ(add_conmon(0, name, txt), AUD_SUCCESS);
    }
    std::vector<std::string> names;
    for (size_t i = 0; i < db_browse_tree_get_node_count(tree_); ++i) {
        names.push_back(db_browse_node_get_name(db_browse_tree_get_node_at(tree_, i)));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}));

    const std::string longest(31, 'x');
    EXPECT_EQ(add_conmon(0, longest.c_str(), txt), AUD_SUCCESS);
    EXPECT_STREQ(db_browse_node_get_name(db_browse_tree_find(tree_, longest.c_str())),
                 longest.c_str());
    EXPECT_EQ(add_conmon(0, std::string(32, 'y').c_str(), txt), AUD_ERR_INVALIDPARAMETER);
}

TEST_F(Tree, AServiceOnTwoNetworksGoesWithTheLastOfThem) {
    const auto txt = conmon("Vornix", 8);
    add_conmon(0, "Stage", txt);
    add_conmon(1, "Stage", txt);
    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(events_[1].change, DB_BROWSE_CHANGE_MODIFIED);  // a new network is a change
    db_browse_node* node = db_browse_tree_find(tree_, "Stage");
    EXPECT_EQ(db_browse_node_get_network_flags(node, 0), DB_BROWSE_TYPE_CONMON_DEVICE);
    EXPECT_EQ(db_browse_node_get_network_flags(node, 1), DB_BROWSE_TYPE_CONMON_DEVICE);

    db_browse_tree_remove_service(tree_, DB_BROWSE_TYPE_CONMON_DEVICE, 0, "Stage", &changed_);
    ASSERT_EQ(events_.size(), 3u);
    EXPECT_EQ(events_[2].change, DB_BROWSE_CHANGE_MODIFIED);
    EXPECT_NE(db_browse_node_get_manufacturer_id(node), nullptr);  // the data stays

    db_browse_tree_remove_service(tree_, DB_BROWSE_TYPE_CONMON_DEVICE, 1, "Stage", &changed_);
    ASSERT_EQ(events_.size(), 4u);
    EXPECT_EQ(events_[3].change, DB_BROWSE_CHANGE_REMOVED);
    EXPECT_EQ(events_[3].flags, 0u);
    EXPECT_EQ(db_browse_tree_get_node_count(tree_), 0u);
}

TEST_F(Tree, AdvertsOutsideTheNetworksHaveTheirOwnSlot) {
    db_browse_tree_set_network_count(tree_, 1);
    add_conmon(1, "Local", conmon("Vornix", 8));  // network number = network count
    db_browse_node* node = db_browse_tree_find(tree_, "Local");
    EXPECT_EQ(db_browse_node_get_network_flags(node, 2), DB_BROWSE_TYPE_CONMON_DEVICE);
    EXPECT_EQ(db_browse_node_get_network_flags(node, 1), 0u);
}

TEST_F(Tree, IdsComeFromTheConmonDataElseTheMediaData) {
    add_conmon(0, "Stage", conmon("Vornix", 8));
    db_media_txt media{};
    std::memcpy(media.manufacturer_id, "Acme", 4);
    media.model_id[7] = 4;
    ASSERT_EQ(
        db_browse_tree_update_media_device(tree_, 0, "Stage", "host", 4440, &media, &changed_),
        AUD_SUCCESS);
    db_browse_node* node = db_browse_tree_find(tree_, "Stage");
    EXPECT_EQ(std::memcmp(db_browse_node_get_manufacturer_id(node), "Vornix", 6), 0);

    db_browse_tree_remove_service(tree_, DB_BROWSE_TYPE_CONMON_DEVICE, 0, "Stage", &changed_);
    ASSERT_NE(db_browse_node_get_manufacturer_id(node), nullptr);
    EXPECT_EQ(std::memcmp(db_browse_node_get_manufacturer_id(node), "Acme", 4), 0);
    EXPECT_EQ(db_browse_node_get_model_id(node)[7], 4);
    EXPECT_EQ(db_browse_node_get_instance_id(node), nullptr);
    EXPECT_STREQ(db_browse_node_get_host_name(node), "host");

    // Without an mf key the id is all zero: no manufacturer at all.
    add_conmon(0, "Anon", conmon("", 8));
    EXPECT_EQ(db_browse_node_get_manufacturer_id(db_browse_tree_find(tree_, "Anon")), nullptr);
}

TEST_F(Tree, OnlyARealChangeIsReported) {
    add_conmon(0, "Stage", conmon("Vornix", 8), "stage");
    add_conmon(0, "Stage", conmon("Vornix", 8), "stage");
    EXPECT_FALSE(changed_);
    EXPECT_EQ(events_.size(), 1u);
    add_conmon(0, "Stage", conmon("Vornix", 9), "stage");
    EXPECT_TRUE(changed_);
    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(events_[1].change, DB_BROWSE_CHANGE_MODIFIED);
    add_conmon(0, "Stage", conmon("Vornix", 9), "stage-2");
    EXPECT_TRUE(changed_);  // a new host name
}

TEST_F(Tree, ChannelsKeepTheirDeviceUntilTheLastIsGone) {
    db_browse_tree* tree = nullptr;
    ASSERT_EQ(db_browse_tree_new(nullptr, DB_BROWSE_TYPE_MEDIA_CHANNEL, &tree), AUD_SUCCESS);
    db_browse_tree_set_node_callback(tree, record);
    db_browse_channel_data data{};
    data.id = 2;
    bool changed = false;
    ASSERT_EQ(db_browse_tree_update_media_channel(tree, 0, "Stage", "Mic", &data, true, &changed),
              AUD_SUCCESS);
    ASSERT_EQ(
        db_browse_tree_update_media_channel(tree, 0, "Stage", "Vocals", &data, false, &changed),
        AUD_SUCCESS);
    data.id = 1;
    ASSERT_EQ(db_browse_tree_update_media_channel(tree, 0, "Stage", "Line", &data, true, &changed),
              AUD_SUCCESS);
    db_browse_node* node = db_browse_tree_find(tree, "Stage");
    ASSERT_EQ(db_browse_node_get_channel_count(node), 2u);
    EXPECT_EQ(db_browse_channel_get_id(db_browse_node_get_channel_at(node, 0)), 1);
    EXPECT_EQ(db_browse_channel_get_label_count(db_browse_node_get_channel_at(node, 1)), 1u);
    EXPECT_EQ(db_browse_node_get_flags(node), 0u);  // channels are no device service

    EXPECT_EQ(db_browse_tree_remove_media_channel(tree, 0, "Stage", "Nothing", &changed),
              DB_BROWSE_ERR_NO_CHANNEL);
    EXPECT_EQ(db_browse_tree_remove_media_channel(tree, 0, "Stage", "Line", &changed), AUD_SUCCESS);
    EXPECT_EQ(db_browse_tree_remove_media_channel(tree, 0, "Stage", "Mic", &changed), AUD_SUCCESS);
    EXPECT_EQ(db_browse_tree_get_node_count(tree), 1u);  // the label keeps channel 2
    events_.clear();
    EXPECT_EQ(db_browse_tree_remove_media_channel(tree, 0, "Stage", "Vocals", &changed),
              AUD_SUCCESS);
    EXPECT_EQ(db_browse_tree_get_node_count(tree), 0u);
    ASSERT_EQ(events_.size(), 3u);  // label, channel, node
    EXPECT_EQ(events_[0].kind, DB_BROWSE_CHANGE_KIND_LABEL);
    EXPECT_EQ(events_[1].kind, DB_BROWSE_CHANGE_KIND_CHANNEL);
    EXPECT_EQ(events_[2].kind, DB_BROWSE_CHANGE_KIND_NODE);
    EXPECT_EQ(events_[2].change, DB_BROWSE_CHANGE_REMOVED);
    db_browse_tree_delete(tree);
}

TEST_F(Tree, ClearingReportsEveryNodeOnlyWhenAsked) {
    add_conmon(0, "A", conmon("Vornix", 8));
    add_conmon(0, "B", conmon("Vornix", 8));
    events_.clear();
    db_browse_tree_clear(tree_, false);
    EXPECT_TRUE(events_.empty());
    add_conmon(0, "A", conmon("Vornix", 8));
    events_.clear();
    db_browse_tree_clear(tree_, true);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].change, DB_BROWSE_CHANGE_REMOVED);
}

// ---- The browse ----

struct FakeDomain {
    domain_current current{avn_domain_uuid_adhoc(), 5, 0x1FFFFFFF};
    static domain_current get(void* context) { return static_cast<FakeDomain*>(context)->current; }
};

class Browse : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
    }
    void TearDown() override {
        db_browse_delete(browse_);
        domain_provider_delete(provider_);
        aud_env_delete(env_);
    }
    void with_provider() {
        domain_provider_ops ops{};
        ops.current_domain = FakeDomain::get;
        ASSERT_EQ(domain_provider_new(env_, &ops, &domain_, &provider_), AUD_SUCCESS);
    }

    aud_env* env_ = nullptr;
    domain_provider* provider_ = nullptr;
    FakeDomain domain_;
    db_browse* browse_ = nullptr;
};

TEST_F(Browse, TypesAndSocketLimits) {
    EXPECT_EQ(db_browse_new(env_, 0x100, &browse_), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(db_browse_new(env_, 0, &browse_), AUD_ERR_INVALIDPARAMETER);

    struct Case {
        uint32_t types;
        uint32_t limit;
        aud_error result;
        uint32_t stored;
    };
    const Case cases[] = {
        {0x04, 1, AUD_ERR_INVALIDPARAMETER, 0},
        {0x04, 2, AUD_SUCCESS, 2},
        {0x04, 17, AUD_SUCCESS, 17},
        {0x44, 2, AUD_ERR_INVALIDPARAMETER, 0},
        {0x44, 0, AUD_ERR_INVALIDPARAMETER, 0},
        {0x44, 3, AUD_SUCCESS, 2},
        {0x3F, 6, AUD_ERR_INVALIDPARAMETER, 0},
        {0x3F, 7, AUD_SUCCESS, 7},
    };
    for (const Case& c : cases) {
        db_browse* browse = nullptr;
        ASSERT_EQ(db_browse_new(env_, c.types, &browse), AUD_SUCCESS);
        EXPECT_EQ(db_browse_set_socket_limit(browse, c.limit), c.result)
            << c.types << " " << c.limit;
        EXPECT_EQ(db_browse_get_socket_limit(browse), c.stored);
        db_browse_delete(browse);
    }
}

TEST_F(Browse, WithoutAProviderItBrowsesAdHocAtOnce) {
    ASSERT_EQ(db_browse_new(env_, DB_BROWSE_TYPE_CONMON_DEVICE, &browse_), AUD_SUCCESS);
    EXPECT_EQ(db_browse_get_sub_browsers(browse_), DB_BROWSE_MODE_ADHOC);
    db_browse_config config;
    db_browse_config_init(&config);
    EXPECT_EQ(config.network_count, 1u);
    EXPECT_EQ(config.network_mask, 0xFFFFFFFFu);
    EXPECT_EQ(config.loopback, 1u);
    EXPECT_EQ(config.resolve_timeout_seconds, 30u);
    db_browse_delete(browse_);
    // Media channels alone build no ad-hoc browser.
    browse_ = nullptr;
    ASSERT_EQ(db_browse_new(env_, DB_BROWSE_TYPE_MEDIA_CHANNEL, &browse_), AUD_SUCCESS);
    EXPECT_EQ(db_browse_get_sub_browsers(browse_), 0u);
}

TEST_F(Browse, SubBrowsersFollowTheDomainMode) {
    with_provider();
    ASSERT_EQ(db_browse_new(env_, 0xC4, &browse_), AUD_SUCCESS);
    EXPECT_EQ(db_browse_get_sub_browsers(browse_), 0u);  // the domain is read at start
    struct Case {
        uint32_t mode;
        uint32_t enable;
        uint32_t built;
    };
    const Case cases[] = {
        {5, 1, DB_BROWSE_MODE_ADHOC | DB_BROWSE_MODE_SAP},
        {5, 0, 0},  // browsing disabled
        {2, 1, DB_BROWSE_MODE_DOMAIN},
        {0xA, 1, DB_BROWSE_MODE_DOMAIN | DB_BROWSE_MODE_DOMAIN_SDP},
        {0xF, 1, DB_BROWSE_MODE_ADHOC | DB_BROWSE_MODE_SAP | DB_BROWSE_MODE_DOMAIN | DB_BROWSE_MODE_DOMAIN_SDP},
    };
    const avn_domain_uuid id = avn_domain_uuid_adhoc();
    for (const Case& c : cases) {
        EXPECT_EQ(db_browse_configure_domain(browse_, &id, c.mode, c.enable), AUD_SUCCESS);
        EXPECT_EQ(db_browse_get_sub_browsers(browse_), c.built) << c.mode << "/" << c.enable;
    }
}

TEST_F(Browse, AManagedDomainStartsWithoutAdHocBrowsing) {
    with_provider();
    domain_.current = domain_current{avn_domain_uuid{{1}}, 2, 0x1};
    ASSERT_EQ(db_browse_new(env_, DB_BROWSE_TYPE_CONMON_DEVICE, &browse_), AUD_SUCCESS);
    ASSERT_EQ(db_browse_set_socket_limit(browse_, 17), AUD_SUCCESS);
    ASSERT_EQ(db_browse_start_config(browse_, nullptr), AUD_SUCCESS);
    EXPECT_TRUE(db_browse_is_running(browse_));
    EXPECT_EQ(db_browse_get_sub_browsers(browse_), DB_BROWSE_MODE_DOMAIN);  // waiting for the Domain Manager
    EXPECT_EQ(db_browse_start_config(browse_, nullptr), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(db_browse_set_socket_limit(browse_, 17), AUD_ERR_INVALIDSTATE);
    db_browse_stop(browse_);
    EXPECT_FALSE(db_browse_is_running(browse_));
    EXPECT_EQ(db_browse_set_socket_limit(browse_, 5), AUD_SUCCESS);
}

TEST(AdhocBrowse, SocketLimitAndFilterLabel) {
    aud_env* env = nullptr;
    ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env), AUD_SUCCESS);
    db_browse_tree* tree = nullptr;
    ASSERT_EQ(db_browse_tree_new(nullptr, 0x05, &tree), AUD_SUCCESS);
    db_adhoc_browse* adhoc = nullptr;
    EXPECT_EQ(db_adhoc_browse_new(env, 0x40, tree, &adhoc), AUD_ERR_INVALIDPARAMETER);
    ASSERT_EQ(db_adhoc_browse_new(env, 0x05, tree, &adhoc), AUD_SUCCESS);
    EXPECT_EQ(db_adhoc_browse_get_concurrent_resolves(adhoc), 16u);
    EXPECT_EQ(db_adhoc_browse_set_socket_limit(adhoc, 2), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(db_adhoc_browse_set_socket_limit(adhoc, 10), AUD_SUCCESS);
    EXPECT_EQ(db_adhoc_browse_get_concurrent_resolves(adhoc), 8u);
    const uint8_t vornix[8] = {'V', 'o', 'r', 'n', 'i', 'x', 0, 0};
    db_adhoc_browse_set_manufacturer_filter(adhoc, vornix);
    EXPECT_STREQ(db_adhoc_browse_get_subtype_label(adhoc), "Vornix");
    db_adhoc_browse_set_manufacturer_filter(adhoc, nullptr);
    EXPECT_STREQ(db_adhoc_browse_get_subtype_label(adhoc), "");
    EXPECT_EQ(db_adhoc_browse_start_continue(adhoc), AUD_ERR_INVALIDSTATE);
    db_adhoc_browse_delete(adhoc);
    db_browse_tree_delete(tree);
    aud_env_delete(env);
}

}  // namespace
