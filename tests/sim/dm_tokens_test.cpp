// The Domain Manager's single-use tokens.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/dm/dm_tokens.h"

namespace {

TEST(DmTokens, ATokenIsRedeemedOnceForItsUser) {
    sim::DmTokenStore store;
    const std::string alice = store.issue("alice");
    const std::string bob = store.issue("bob");
    ASSERT_EQ(alice.size(), sim::DmTokenStore::kTokenLength);
    EXPECT_EQ(alice.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(alice, bob);
    EXPECT_EQ(store.outstanding(), 2u);

    EXPECT_EQ(store.redeem(bob), "bob");
    EXPECT_EQ(store.redeem(bob), std::nullopt);
    EXPECT_EQ(store.redeem(alice), "alice");
    EXPECT_EQ(store.redeem(alice), std::nullopt);
    EXPECT_EQ(store.outstanding(), 0u);
}

TEST(DmTokens, NearMissesAreNotRedeemed) {
    sim::DmTokenStore store;
    const std::string token = store.issue("alice");
    std::string changed = token;
    changed.back() = changed.back() == '0' ? '1' : '0';
    EXPECT_EQ(store.redeem(changed), std::nullopt);
    EXPECT_EQ(store.redeem(token.substr(0, token.size() - 1)), std::nullopt);
    EXPECT_EQ(store.redeem(token + "0"), std::nullopt);
    EXPECT_EQ(store.redeem(""), std::nullopt);
    EXPECT_EQ(store.redeem(token), "alice");
}

TEST(DmTokens, TheOldestGoesWhenTooManyWait) {
    sim::DmTokenStore store;
    const std::string first = store.issue("first");
    for (size_t i = 1; i < sim::DmTokenStore::kMaxOutstanding; ++i) {
        store.issue("more");
    }
    const std::string last = store.issue("last");
    EXPECT_EQ(store.outstanding(), sim::DmTokenStore::kMaxOutstanding);
    EXPECT_EQ(store.redeem(first), std::nullopt);
    EXPECT_EQ(store.redeem(last), "last");
}

// Threads issuing and redeeming at once: every token comes back exactly once.
TEST(DmTokens, ConcurrentIssueAndRedeem) {
    sim::DmTokenStore store;
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::vector<std::thread> threads;
    std::vector<int> redeemed(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&store, &redeemed, t] {
            const std::string user = "user" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                const std::string token = store.issue(user);
                if (store.redeem(token) == user && !store.redeem(token)) {
                    ++redeemed[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int count : redeemed) {
        EXPECT_EQ(count, kRounds);
    }
    EXPECT_EQ(store.outstanding(), 0u);
}

}  // namespace
