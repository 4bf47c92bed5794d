#include "avn/domain/domain_handler.h"
#include "avn/domain/domain_handler_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "avn/runtime/aud_env.h"

namespace {

avn_domain_entry domain(uint16_t id, const char* name, uint32_t role = 1, uint32_t access = 1) {
    avn_domain_entry entry{};
    entry.info.id = id;
    entry.info.role = role;
    std::memset(entry.info.uuid.bytes, 0, sizeof entry.info.uuid.bytes);
    entry.info.uuid.bytes[0] = 0xD0;
    entry.info.uuid.bytes[15] = static_cast<uint8_t>(id);
    std::snprintf(entry.info.name, sizeof entry.info.name, "%s", name);
    entry.flags = 0x2;
    entry.access = access;
    return entry;
}

struct Recorder {
    std::vector<uint32_t> event_flags;
    std::vector<aud_error> event_errors;
    int current_changed = 0;
    int connection_changed = 0;
};

Recorder* recorder_of(avnapi* owner) {
    return reinterpret_cast<Recorder*>(owner);
}

class DomainHandler : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env_), AUD_SUCCESS);
        static const avn_domain_handler_notifications notifications = {
            nullptr,
            [](avnapi* owner) { ++recorder_of(owner)->current_changed; },
            [](avnapi* owner) { ++recorder_of(owner)->connection_changed; },
        };
        ASSERT_EQ(avn_domain_handler_new(env_, reinterpret_cast<avnapi*>(&recorder_), &notifications,
                                         nullptr, &handler_),
                  AUD_SUCCESS);
        active_recorder = &recorder_;
        avn_domain_handler_set_event_callback(handler_, [](const avn_domain_handler_event* event) {
            active_recorder->event_flags.push_back(avn_domain_handler_event_get_flags(event));
            active_recorder->event_errors.push_back(avn_domain_handler_event_get_error(event));
        });
    }
    void TearDown() override {
        avn_domain_handler_delete(handler_);
        aud_env_delete(env_);
    }

    void connect_with(std::vector<avn_domain_entry> domains) {
        for (int state : {2, 3, 4, 5, 7, 8, 9}) {
            avn_domain_handler_change_state(handler_, state);
        }
        avn_domain_handler_apply_domain_list(handler_, domains, false, 0, 0);
        recorder_ = Recorder{};
    }

    std::vector<uint16_t> ids() const {
        std::vector<uint16_t> out;
        for (size_t i = 0; i < avn_domain_handler_get_domain_count(handler_); ++i) {
            out.push_back(avn_domain_handler_get_domain_at(handler_, i).id);
        }
        return out;
    }

    static inline Recorder* active_recorder = nullptr;
    aud_env* env_ = nullptr;
    avn_domain_handler* handler_ = nullptr;
    Recorder recorder_;
};

TEST_F(DomainHandler, StartsUnconnectedWithOnlyAdhocCurrent) {
    EXPECT_EQ(avn_domain_handler_get_state(handler_), AVN_DOMAIN_STATE_NONE);
    EXPECT_EQ(ids(), std::vector<uint16_t>{AVN_DOMAIN_ID_ADHOC});
    const avn_domain_info current = avn_domain_handler_get_current_domain(handler_);
    EXPECT_EQ(current.id, AVN_DOMAIN_ID_ADHOC);
    EXPECT_TRUE(avn_domain_uuid_is_adhoc(&current.uuid));
    EXPECT_EQ(avn_domain_handler_get_current_flags(handler_), AVN_DOMAIN_ADHOC_FLAGS);
    EXPECT_EQ(avn_domain_handler_get_current_access(handler_), AVN_DOMAIN_ADHOC_ACCESS);
    EXPECT_FALSE(avn_domain_handler_keepalive_running(handler_));
}

TEST_F(DomainHandler, PublicStatesFollowTheInternalOnes) {
    struct Step {
        int internal;
        int expected_public;
        int expected_with_login_pending;  // a login that had to start with identify
    };
    const Step steps[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 5}, {4, 4, 5},
                          {5, 5, 5}, {7, 5, 5}, {8, 5, 5}, {9, 6, 6}, {6, 7, 7}};
    for (const bool pending : {false, true}) {
        handler_->login_pending = pending;
        for (const Step& step : steps) {
            avn_domain_handler_change_state(handler_, step.internal);
            EXPECT_EQ(avn_domain_handler_get_state(handler_),
                      pending ? step.expected_with_login_pending : step.expected_public)
                << step.internal << (pending ? " with a login pending" : "");
        }
    }
}

TEST_F(DomainHandler, ReportsStateChangesAndConnection) {
    avn_domain_handler_change_state(handler_, 2);
    avn_domain_handler_change_state(handler_, 5);
    avn_domain_handler_change_state(handler_, 7);  // public state stays "connecting"
    avn_domain_handler_change_state(handler_, 8);
    avn_domain_handler_change_state(handler_, 9);
    EXPECT_EQ(recorder_.event_flags,
              (std::vector<uint32_t>{AVN_DOMAIN_EVENT_STATE, AVN_DOMAIN_EVENT_STATE,
                                     AVN_DOMAIN_EVENT_STATE}));
    EXPECT_EQ(recorder_.connection_changed, 1);
    EXPECT_TRUE(avn_domain_handler_keepalive_running(handler_));
}

TEST_F(DomainHandler, FullListPutsAdhocFirst) {
    connect_with({domain(1, "Studio A"), domain(2, "Studio B")});
    EXPECT_EQ(ids(), (std::vector<uint16_t>{AVN_DOMAIN_ID_ADHOC, 1, 2}));
    EXPECT_STREQ(avn_domain_handler_get_domain_by_name(handler_, "Studio B").name, "Studio B");
    EXPECT_EQ(avn_domain_handler_get_domain_by_name(handler_, "studio b").id, 0);  // case-sensitive
    EXPECT_EQ(avn_domain_handler_get_domain_at(handler_, 3).id, 0);

    // The same list again changes nothing and raises no event.
    avn_domain_handler_apply_domain_list(handler_,
                                         std::vector{domain(1, "Studio A"), domain(2, "Studio B")},
                                         false, 0, 0);
    EXPECT_TRUE(recorder_.event_flags.empty());

    // A changed entry raises the list flag.
    avn_domain_handler_apply_domain_list(handler_,
                                         std::vector{domain(1, "Studio A"), domain(2, "Studio C")},
                                         false, 0, 0);
    EXPECT_EQ(recorder_.event_flags, std::vector<uint32_t>{AVN_DOMAIN_EVENT_DOMAIN_LIST});
}

TEST_F(DomainHandler, PartialUpdateMergesTheIdRangeInPlace) {
    connect_with({domain(3, "c"), domain(5, "e"), domain(6, "f"), domain(7, "g"), domain(9, "i")});
    avn_domain_handler_apply_domain_list(handler_, std::vector{domain(6, "f2"), domain(8, "h")},
                                         true, 5, 8);
    EXPECT_EQ(ids(), (std::vector<uint16_t>{AVN_DOMAIN_ID_ADHOC, 3, 6, 9, 8}));
    EXPECT_STREQ(avn_domain_handler_get_domain_by_id(handler_, 6).info.name, "f2");
    EXPECT_EQ(recorder_.event_flags, std::vector<uint32_t>{AVN_DOMAIN_EVENT_DOMAIN_LIST});
}

TEST_F(DomainHandler, CurrentDomainDroppedFromTheListFallsBackToAdhoc) {
    connect_with({domain(1, "a"), domain(2, "b")});
    ASSERT_EQ(avn_domain_handler_set_current_domain_by_id(handler_, 2), AUD_SUCCESS);
    EXPECT_EQ(avn_domain_handler_get_current_domain(handler_).id, 2);
    EXPECT_TRUE(recorder_.event_flags.empty());  // an API call answers for itself
    EXPECT_EQ(recorder_.current_changed, 1);

    avn_domain_handler_apply_domain_list(handler_, std::vector{domain(1, "a")}, false, 0, 0);
    EXPECT_EQ(avn_domain_handler_get_current_domain(handler_).id, AVN_DOMAIN_ID_ADHOC);
    EXPECT_EQ(recorder_.event_flags,
              std::vector<uint32_t>{AVN_DOMAIN_EVENT_DOMAIN_LIST | AVN_DOMAIN_EVENT_CURRENT_DOMAIN});
    EXPECT_EQ(recorder_.current_changed, 2);
}

TEST_F(DomainHandler, AccessChangeOfTheCurrentDomainIsNotified) {
    connect_with({domain(1, "a", 1, 0x3)});
    ASSERT_EQ(avn_domain_handler_set_current_domain_by_id(handler_, 1), AUD_SUCCESS);
    recorder_ = Recorder{};
    avn_domain_handler_apply_domain_list(handler_, std::vector{domain(1, "a", 1, 0x7)}, false, 0, 0);
    EXPECT_EQ(recorder_.current_changed, 1);
    EXPECT_EQ(avn_domain_handler_get_current_access(handler_), 0x7u);
}

TEST_F(DomainHandler, LeavingConnectedCollapsesToAdhoc) {
    connect_with({domain(1, "a"), domain(2, "b")});
    ASSERT_EQ(avn_domain_handler_set_current_domain_by_id(handler_, 1), AUD_SUCCESS);
    recorder_ = Recorder{};
    avn_domain_handler_change_state(handler_, 2);
    EXPECT_EQ(ids(), std::vector<uint16_t>{AVN_DOMAIN_ID_ADHOC});
    EXPECT_EQ(avn_domain_handler_get_current_domain(handler_).id, AVN_DOMAIN_ID_ADHOC);
    EXPECT_EQ(recorder_.event_flags,
              std::vector<uint32_t>{AVN_DOMAIN_EVENT_DOMAIN_LIST | AVN_DOMAIN_EVENT_CURRENT_DOMAIN |
                                    AVN_DOMAIN_EVENT_STATE});
    EXPECT_EQ(recorder_.connection_changed, 1);
    EXPECT_FALSE(avn_domain_handler_keepalive_running(handler_));
}

TEST_F(DomainHandler, SetCurrentDomainChecksStateAndList) {
    avn_domain_uuid unknown{};
    unknown.bytes[0] = 0x42;
    avn_domain_handler_change_state(handler_, 2);
    EXPECT_EQ(avn_domain_handler_set_current_domain(handler_, &unknown), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(avn_domain_handler_set_current_domain_by_id(handler_, 1), AUD_ERR_INVALIDSTATE);

    connect_with({domain(1, "a")});
    EXPECT_EQ(avn_domain_handler_set_current_domain(handler_, &unknown), AUD_ERR_NOTFOUND);
    EXPECT_EQ(avn_domain_handler_set_current_domain_by_id(handler_, 77), AUD_ERR_NOTFOUND);
    const avn_domain_entry a = avn_domain_handler_get_domain_by_id(handler_, 1);
    EXPECT_EQ(avn_domain_handler_set_current_domain(handler_, &a.info.uuid), AUD_SUCCESS);
    EXPECT_EQ(avn_domain_handler_get_current_domain(handler_).id, 1);
    // The all-zero uuid names no domain at all.
    const avn_domain_uuid none = avn_domain_uuid_none();
    EXPECT_EQ(avn_domain_handler_set_current_domain(handler_, &none), AUD_SUCCESS);
    avn_domain_uuid current = avn_domain_handler_get_current_uuid(handler_);
    EXPECT_TRUE(avn_domain_uuid_is_none(&current));
}

TEST_F(DomainHandler, AsynchronousErrorsCarryTheirReason) {
    avn_domain_handler_report_error(handler_, AUD_ERR_CONNREFUSED);
    ASSERT_EQ(recorder_.event_flags, std::vector<uint32_t>{AVN_DOMAIN_EVENT_ERROR});
    EXPECT_EQ(recorder_.event_errors[0], AUD_ERR_CONNREFUSED);
}

TEST(DomainUuid, ComparesAsUnsignedBytes) {
    avn_domain_uuid a{}, b{};
    b.bytes[3] = 0x80;
    EXPECT_EQ(avn_domain_uuid_compare(&a, &b), -1);
    EXPECT_EQ(avn_domain_uuid_compare(&b, &a), 1);
    EXPECT_EQ(avn_domain_uuid_compare(&a, &a), 0);
    const avn_domain_uuid adhoc = avn_domain_uuid_adhoc();
    EXPECT_TRUE(avn_domain_uuid_is_adhoc(&adhoc));
    EXPECT_FALSE(avn_domain_uuid_is_none(&adhoc));
}

}  // namespace
