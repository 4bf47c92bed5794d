// Runs numbered pieces of work on a bounded number of threads: apply's units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Calls work(i) for i = 0, 1, ... count - 1, taken in that order, with at
// most `jobs` calls under way at once. Before it takes the next piece, a
// thread asks `stop_starting`; once that is true no further piece starts,
// while those under way run to their end. Returns once every call has
// returned, marking which pieces were started. `work` must not throw; when no
// thread can be made, the calling thread does the work itself.
std::vector<bool> run_bounded(size_t count, uint32_t jobs, const std::function<bool()>& stop_starting,
                              const std::function<void(size_t)>& work);
