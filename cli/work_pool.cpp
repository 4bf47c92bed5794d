#include "cli/work_pool.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

std::vector<bool> run_bounded(size_t count, uint32_t jobs, const std::function<bool()>& stop_starting,
                              const std::function<void(size_t)>& work) {
    // One flag per piece, each written by the one thread that took it and
    // read after every thread has been joined.
    std::vector<char> started(count, 0);
    std::atomic<size_t> next{0};
    const auto worker = [&] {
        while (!stop_starting()) {
            const size_t i = next++;
            // Asked again once the piece is taken: a stop that came while
            // this thread waited for its turn starts nothing more.
            if (i >= count || stop_starting()) {
                return;
            }
            started[i] = 1;
            work(i);
        }
    };
    std::vector<std::thread> threads;
    const size_t wanted = std::min<size_t>(std::max<uint32_t>(jobs, 1), count);
    for (size_t t = 0; t < wanted; ++t) {
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // fewer at once, then
        }
    }
    if (threads.empty()) {
        worker();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return std::vector<bool>(started.begin(), started.end());
}
