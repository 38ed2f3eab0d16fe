// The work-stealing pool every per-chunk task runs on.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>

#include "error/error.h"

namespace pelorin::pool {

// Runs body(i) for every i in [0, count), one task per index, on the task arena of the
// calling thread (the process-wide pool, or the arena the caller is a worker of), and
// returns when all are done. Anything a body throws reaches the caller. Any thread.
void for_each_index(std::size_t count, const std::function<void(std::size_t)>& body);

// As for_each_index, for bodies that can fail: once one has failed no further index is
// started, and the first error recorded is the result.
Result<void> for_each_until_error(std::size_t count,
                                  const std::function<Result<void>(std::size_t)>& body);

// Runs produce(0), produce(1), ... in order on the calling thread, and consume(i) for each
// produced index as a task of the calling thread's arena, so that consuming one index
// overlaps producing the next: one sequential stream (reading a file, which the system's
// read-ahead serves best) with the work on each piece spread over the pool. Stops producing
// at the first failure, which is the result, once every consumer started has finished.
// Anything consume throws reaches the caller.
Result<void> produce_in_order(std::size_t count,
                              const std::function<Result<void>(std::size_t)>& produce,
                              const std::function<void(std::size_t)>& consume);

}  // namespace pelorin::pool
