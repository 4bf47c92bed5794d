#include "avn/domain/tls_event_queue.h"

#include <cstdint>
#include <utility>

namespace {

// A processing call reads at most this many wake-ups; should more be
// waiting, the receiver stays readable and the next call reads on.
constexpr int kMaxWakeupsPerCall = 4096;

}  // namespace

aud_error EventQueue::create(std::unique_ptr<EventQueue>* out) {
    if (out == nullptr) {
        return AUD_ERR_INVALIDPARAMETER;
    }
    std::unique_ptr<EventQueue> queue(new EventQueue());
    aud_socket_address loopback{};
    aud_socket_address_set_ipv4(&loopback, 0x7F000001u, 0);
    aud_socket_address bound{};
    aud_error error = aud_socket_open_bound(&queue->receiver_, &loopback, &bound);
    if (error != AUD_SUCCESS) {
        return error;
    }
    error = aud_socket_open_and_connect(&queue->sender_, &bound);
    if (error != AUD_SUCCESS) {
        return error;
    }
    // A wake-up that finds the receiver's buffer full is not needed: the
    // receiver is readable already. The sender must never block the poster.
    error = aud_socket_set_blocking(queue->sender_, false);
    if (error != AUD_SUCCESS) {
        return error;
    }
    *out = std::move(queue);
    return AUD_SUCCESS;
}

EventQueue::~EventQueue() {
    aud_socket_close(&sender_);
    aud_socket_close(&receiver_);
}

void EventQueue::post(Handler handler) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        handlers_.push_back(std::move(handler));
    }
    const uint8_t wakeup[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    size_t length = sizeof wakeup;
    aud_socket_send(sender_, wakeup, &length);
}

void EventQueue::process() {
    drain_wakeups();
    std::deque<Handler> taken = take();
    for (Handler& handler : taken) {
        handler();
    }
}

void EventQueue::drop() {
    drain_wakeups();
    take();
}

void EventQueue::drain_wakeups() {
    for (int i = 0; i < kMaxWakeupsPerCall; ++i) {
        uint8_t datagram[16];
        size_t length = sizeof datagram;
        if (aud_socket_recv(receiver_, datagram, &length) != AUD_SUCCESS) {
            return;
        }
    }
}

std::deque<EventQueue::Handler> EventQueue::take() {
    std::deque<Handler> taken;
    const std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(handlers_);
    return taken;
}
