// The hand-over from a network thread to the AVN event-loop thread: handlers
// queued on any thread, run on the thread that processes the queue. Each
// post wakes a UDP receiver on 127.0.0.1, the one socket the event loop
// watches, so that the event loop learns of queued work through its ordinary
// socket wait.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "avn/runtime/aud_error.h"
#include "avn/runtime/socket.h"

class EventQueue {
  public:
    using Handler = std::function<void()>;

    // Opens the receiver (bound to an ephemeral port on 127.0.0.1,
    // non-blocking) and the sender that wakes it. The sockets' error when
    // they cannot be opened.
    static aud_error create(std::unique_ptr<EventQueue>* out);
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Any thread. Appends the handler and wakes the receiver.
    void post(Handler handler);
    // The processing thread. Reads the waiting wake-ups, takes every queued
    // handler and runs them in order, without the lock held: handlers may
    // post again (those run at the next processing) or drop the queue.
    void process();
    // Reads the waiting wake-ups and forgets every queued handler unrun.
    void drop();

    aud_socket_t receiver() const { return receiver_; }

  private:
    EventQueue() = default;
    void drain_wakeups();
    std::deque<Handler> take();

    std::mutex mutex_;
    std::deque<Handler> handlers_;
    aud_socket_t receiver_ = AUD_SOCKET_INVALID;
    aud_socket_t sender_ = AUD_SOCKET_INVALID;
};
