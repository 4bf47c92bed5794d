#include "sim/dm/dm_tokens.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>

#include "sim/dm/dm_secret.h"

namespace sim {

DmTokenStore::~DmTokenStore() {
    clear();
}

void DmTokenStore::wipe(Entry& entry) {
    wipe_secret(entry.token);
}

std::string DmTokenStore::issue(std::string_view user) {
    std::array<uint8_t, kTokenLength / 2> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        return {};
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string token;
    token.reserve(kTokenLength);
    for (const uint8_t byte : bytes) {
        token.push_back(kDigits[byte >> 4]);
        token.push_back(kDigits[byte & 0x0F]);
    }
    OPENSSL_cleanse(bytes.data(), bytes.size());

    const std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() >= kMaxOutstanding) {
        wipe(entries_.front());
        entries_.erase(entries_.begin());
    }
    entries_.push_back(Entry{token, std::string(user)});
    return token;
}

std::optional<std::string> DmTokenStore::redeem(std::string_view token) {
    if (token.size() != kTokenLength) {
        return std::nullopt;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        // Compared in constant time: how far a guess matches stays hidden.
        if (CRYPTO_memcmp(entry->token.data(), token.data(), kTokenLength) == 0) {
            std::string user = std::move(entry->user);
            wipe(*entry);
            entries_.erase(entry);
            return user;
        }
    }
    return std::nullopt;
}

size_t DmTokenStore::outstanding() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void DmTokenStore::clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& entry : entries_) {
        wipe(entry);
    }
    entries_.clear();
}

}  // namespace sim
