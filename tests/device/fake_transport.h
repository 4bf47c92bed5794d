// A scripted in-memory transport for the device-link tests. Every call is
// recorded; answers come from a responder that sees each written message.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "device/sync_event.h"
#include "device/transport.h"

// What became of a fake transport, held by the test so that it outlives the
// fake: whether it was closed before it was deleted.
struct TransportFate {
    std::atomic<int> closes{0};
    std::atomic<bool> deleted{false};
    std::atomic<bool> open_when_deleted{false};
};

class FakeTransport : public ChannelTransport {
public:
    using Bytes = std::vector<uint8_t>;
    struct Written {
        uint32_t channel;
        Bytes message;
    };
    struct Incoming {
        uint32_t channel;
        Bytes bytes;
    };
    // Called for every write; returns whether delivery succeeds and may queue replies.
    using Responder = std::function<bool(FakeTransport&, const Written&)>;

    explicit FakeTransport(std::atomic<bool>* deleted = nullptr, TransportFate* fate = nullptr)
        : deleted_(deleted), fate_(fate) {}
    ~FakeTransport() override { record_deletion(); }

    bool open(uint32_t) override {
        ++open_calls;
        if (open_gate != nullptr) {
            open_gate->wait_for(10000);
        }
        open_ = open_result;
        return open_;
    }
    bool is_open() const override { return open_; }
    bool service_down() const override { return (!open_ && service_down_result) || lost; }
    bool link_lost() const override { return lost; }
    bool close() override {
        if (open_) {
            ++close_calls;
            if (fate_ != nullptr) {
                ++fate_->closes;
            }
        }
        open_ = false;
        return true;
    }

    bool write_channel(std::span<const uint8_t> message, uint32_t channel, uint32_t) override {
        if (!open_) {
            return false;
        }
        Written written{channel, Bytes(message.begin(), message.end())};
        {
            std::lock_guard lock(mutex_);
            writes_.push_back(written);
        }
        return responder ? responder(*this, written) : true;
    }

    size_t read_channel(std::span<uint8_t> buffer, uint32_t channel, uint32_t) override {
        if (!open_) {
            return 0;
        }
        std::unique_lock lock(mutex_);
        for (auto it = incoming_.begin(); it != incoming_.end(); ++it) {
            if (it->channel == channel) {
                const size_t n = std::min(buffer.size(), it->bytes.size());
                std::copy_n(it->bytes.begin(), n, buffer.begin());
                incoming_.erase(it);
                return n;
            }
        }
        lock.unlock();
        // A poll of the real transport costs one processing step; keep tests from spinning.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    }

    const wchar_t* name() const override { return L"FAKE"; }

    void queue_incoming(uint32_t channel, Bytes bytes) {
        std::lock_guard lock(mutex_);
        incoming_.push_back({channel, std::move(bytes)});
    }

    std::vector<Written> writes() {
        std::lock_guard lock(mutex_);
        return writes_;
    }

    void drop_link() { open_ = false; }

    Responder responder;
    bool open_result = true;
    bool service_down_result = false;  // a failed open blames the service
    std::atomic<bool> lost{false};     // the link went with its AVN domain
    SyncEvent* open_gate = nullptr;  // when set, open waits for it
    std::atomic<int> open_calls{0};
    std::atomic<int> close_calls{0};

protected:
    // Tells the test that the transport is gone. A derived class that signals
    // the test afterwards calls it first: nothing of the test's may be
    // touched once the test could have ended.
    void record_deletion() {
        if (fate_ != nullptr) {
            fate_->open_when_deleted = open_.load();
            fate_->deleted = true;
            fate_ = nullptr;
        }
        if (deleted_ != nullptr) {
            *deleted_ = true;
            deleted_ = nullptr;
        }
    }

private:
    std::atomic<bool>* deleted_;
    TransportFate* fate_;
    std::atomic<bool> open_{false};
    std::mutex mutex_;
    std::vector<Written> writes_;
    std::deque<Incoming> incoming_;
};
