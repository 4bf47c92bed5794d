// The authentication tokens that login hands out and the Domain Manager's
// connection service takes back: random, single use, and wiped from memory
// when they are dropped. Safe to use from any thread.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class DmTokenStore {
  public:
    // 32 random bytes as 64 lowercase hexadecimal digits.
    static constexpr size_t kTokenLength = 64;
    // Tokens waiting to be redeemed; past this the oldest is dropped.
    static constexpr size_t kMaxOutstanding = 256;

    DmTokenStore() = default;
    ~DmTokenStore();
    DmTokenStore(const DmTokenStore&) = delete;
    DmTokenStore& operator=(const DmTokenStore&) = delete;

    // A new token for the user; empty when no random bytes could be had.
    // The caller wipes its copy (wipe_secret) once it has sent it.
    std::string issue(std::string_view user);
    // The user the token was issued to, once; the token is then gone.
    std::optional<std::string> redeem(std::string_view token);
    size_t outstanding() const;
    // Drops every token.
    void clear();

  private:
    struct Entry {
        std::string token;
        std::string user;
    };
    static void wipe(Entry& entry);

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;  // oldest first
};

}  // namespace sim
