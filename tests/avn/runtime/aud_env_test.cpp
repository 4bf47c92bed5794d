#include "avn/runtime/aud_env.h"

#include <gtest/gtest.h>

#include "avn/runtime/aud_time.h"

namespace {

TEST(AudEnv, AllocatedEnvironmentsOwnWhatTheyAskFor) {
    struct Case {
        uint32_t flags;
        bool log;
        bool loop;
    };
    const Case cases[] = {
        {0, false, false},
        {AUD_ENV_WITH_LOG, true, false},
        {AUD_ENV_WITH_EVENT_LOOP, false, true},
        {AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, true, true},
    };
    for (const Case& c : cases) {
        aud_env* env = nullptr;
        ASSERT_EQ(aud_env_new(c.flags, &env), AUD_SUCCESS);
        EXPECT_EQ(aud_env_get_log(env) != nullptr, c.log) << c.flags;
        EXPECT_EQ(aud_env_get_event_loop(env) != nullptr, c.loop) << c.flags;
        EXPECT_EQ(aud_env_get_flags(env),
                  AUD_ENV_FLAG_ALLOCATED | AUD_ENV_FLAG_NOT_RELEASABLE | c.flags);
        aud_env_delete(env);
    }
    EXPECT_EQ(aud_env_new(0, nullptr), AUD_ERR_INVALIDPARAMETER);
}

TEST(AudEnv, ReleasingAnAllocatedEnvironmentIsRefusedWithAnErrorLine) {
    aud_env* env = nullptr;
    ASSERT_EQ(aud_env_new(AUD_ENV_WITH_LOG | AUD_ENV_WITH_EVENT_LOOP, &env), AUD_SUCCESS);
    int user = 0;
    aud_env_set_user(env, &user);

    testing::internal::CaptureStderr();
    aud_env_release(env);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: This env cannot be cleaned up using aud_env_release!\n");

    // Unchanged: still usable, still owning its log and loop.
    EXPECT_NE(aud_env_get_log(env), nullptr);
    EXPECT_NE(aud_env_get_event_loop(env), nullptr);
    EXPECT_EQ(aud_env_get_user(env), &user);
    aud_env_delete(env);
}

TEST(AudEnv, GlobalEnvironmentIsSharedByReferenceCount) {
    aud_env* first = nullptr;
    aud_env* second = nullptr;
    ASSERT_EQ(aud_env_acquire(&first), AUD_SUCCESS);
    ASSERT_EQ(aud_env_acquire(&second), AUD_SUCCESS);
    EXPECT_EQ(first, second);
    EXPECT_NE(aud_env_get_log(first), nullptr);
    EXPECT_EQ(aud_env_get_event_loop(first), nullptr);

    // Deleting is for allocated environments only.
    aud_env_delete(first);
    EXPECT_NE(aud_env_get_log(first), nullptr);

    EXPECT_EQ(aud_env_release(second), AUD_SUCCESS);
    EXPECT_NE(aud_env_get_log(first), nullptr);  // one reference left
    EXPECT_EQ(aud_env_release(first), AUD_SUCCESS);
    EXPECT_EQ(aud_env_get_log(first), nullptr);
    EXPECT_EQ(aud_env_release(first), AUD_ERR_INVALIDSTATE);  // one release too many
}

TEST(AudTime, AdditionNormalisesAndComparisonOrders) {
    struct Case {
        aud_time a, b, sum;
    };
    const Case cases[] = {
        {{1, 600000}, {2, 500000}, {4, 100000}},
        {{0, 999999}, {0, 1}, {1, 0}},
        {{5, 0}, {-1, 0}, {4, 0}},
        {{5, 100}, {0, -200}, {4, 999900}},
        {{0, 2500000}, {0, 0}, {2, 500000}},
    };
    for (const Case& c : cases) {
        const aud_time sum = aud_time_add(c.a, c.b);
        EXPECT_EQ(sum.seconds, c.sum.seconds);
        EXPECT_EQ(sum.microseconds, c.sum.microseconds);
    }
    EXPECT_LT(aud_time_compare({1, 999999}, {2, 0}), 0);
    EXPECT_GT(aud_time_compare({2, 1}, {2, 0}), 0);
    EXPECT_EQ(aud_time_compare({1, 1000000}, {2, 0}), 0);
    EXPECT_EQ(aud_time_to_milliseconds_ceil({0, 1}), 1);
    EXPECT_EQ(aud_time_to_milliseconds_ceil({-1, 0}), 0);
}

}  // namespace
