// Bytes that must not outlive their use: passwords, tokens and the answers
// that carry them. Every byte the buffer ever held is wiped before its memory
// goes back to the allocator, also when it grows.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

class SecretBuffer {
  public:
    SecretBuffer() = default;
    explicit SecretBuffer(std::string_view text) { assign(text); }
    ~SecretBuffer() { clear(); }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    SecretBuffer(SecretBuffer&& other) noexcept;
    SecretBuffer& operator=(SecretBuffer&& other) noexcept;

    // False (and the contents unchanged) when the buffer would grow beyond
    // max_size() or memory runs out.
    bool append(const char* bytes, std::size_t length);
    bool assign(std::string_view text);
    // Wipes and frees.
    void clear();

    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    std::string_view view() const { return {bytes_.data(), length_}; }
    // Zero-terminated; "" when empty.
    const char* c_str() const { return bytes_.empty() ? "" : bytes_.data(); }
    // Leaves room for the terminator.
    static constexpr std::size_t max_size() { return 1u << 20; }

  private:
    std::vector<char> bytes_;  // length_ bytes, a terminator, spare room
    std::size_t length_ = 0;
};
