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

}  // namespace pelorin::pool
