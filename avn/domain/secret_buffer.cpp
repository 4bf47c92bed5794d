#include "avn/domain/secret_buffer.h"

#include <cstring>
#include <new>

#include <openssl/crypto.h>

SecretBuffer::SecretBuffer(SecretBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)), length_(other.length_) {
    other.bytes_.clear();
    other.length_ = 0;
}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
    if (this != &other) {
        clear();
        bytes_ = std::move(other.bytes_);  // the storage moves; no copy is left behind
        length_ = other.length_;
        other.bytes_.clear();
        other.length_ = 0;
    }
    return *this;
}

bool SecretBuffer::append(const char* bytes, std::size_t length) {
    if (length > max_size() - length_) {
        return false;
    }
    const std::size_t needed = length_ + length + 1;
    if (needed > bytes_.size()) {
        // Grow by hand so that the old storage can be wiped before it is freed.
        std::size_t capacity = bytes_.empty() ? 256 : bytes_.size();
        while (capacity < needed) {
            capacity *= 2;
        }
        std::vector<char> grown;
        try {
            grown.resize(capacity);
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (length_ != 0) {
            std::memcpy(grown.data(), bytes_.data(), length_);
        }
        if (!bytes_.empty()) {
            OPENSSL_cleanse(bytes_.data(), bytes_.size());
        }
        bytes_.swap(grown);
    }
    if (length != 0) {
        std::memcpy(bytes_.data() + length_, bytes, length);
    }
    length_ += length;
    bytes_[length_] = '\0';
    return true;
}

bool SecretBuffer::assign(std::string_view text) {
    clear();
    return append(text.data(), text.size());
}

void SecretBuffer::clear() {
    if (!bytes_.empty()) {
        OPENSSL_cleanse(bytes_.data(), bytes_.size());
    }
    std::vector<char>().swap(bytes_);
    length_ = 0;
}
