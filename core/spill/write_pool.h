// The spill write pool: a few threads of their own, at low disk I/O priority, so spill
// writes neither take the threads of the caller's parallel work nor compete at full
// priority with the reads that need to be fast.
#pragma once

#include <functional>

namespace pelorin::spill {

// Runs `work` on one of the pool's threads and blocks until it is done; anything it
// throws is rethrown here. Parallel algorithms inside `work` run on the pool too. Called
// from a pool thread, or when the pool could not be built, `work` runs on the calling
// thread. The first call builds the pool. Any thread, but not from a task of another
// task arena that holds the last free worker threads (the pool needs some of them).
void run_in_write_pool(const std::function<void()>& work);

// Whether the calling thread is one of the pool's threads, working inside the pool.
bool in_write_pool();

// Threads the pool runs on: min(online processors, 4), 2 when that is unknown; 0 when
// the pool could not be built. Builds the pool if needed. Any thread.
unsigned write_pool_threads();

}  // namespace pelorin::spill
