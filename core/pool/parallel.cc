#include "pool/parallel.h"

#if defined(__SANITIZE_THREAD__)
#include <algorithm>
#include <exception>
#include <thread>
#include <vector>
#else
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>
#endif

namespace pelorin::pool {

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer cannot see how an uninstrumented oneTBB hands tasks between threads and
// reports every hand-off as a race. Its builds run the same bodies on plain threads
// instead, so what they share is still checked.
void for_each_index(std::size_t count, const std::function<void(std::size_t)>& body) {
  std::atomic<std::size_t> next{0};
  std::mutex mu;
  std::exception_ptr thrown;
  auto run = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) {
      try {
        body(i);
      } catch (...) {
        std::lock_guard<std::mutex> l(mu);
        if (!thrown) thrown = std::current_exception();
      }
    }
  };
  const std::size_t n = std::min<std::size_t>(count, std::max(2u, std::thread::hardware_concurrency()));
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < n; ++t) threads.emplace_back(run);
  run();
  for (auto& t : threads) t.join();
  if (thrown) std::rethrow_exception(thrown);
}
#else
void for_each_index(std::size_t count, const std::function<void(std::size_t)>& body) {
  // One task per index: callers hand out whole 4 MiB chunks, which are worth a task each.
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, 1),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t i = r.begin(); i != r.end(); ++i) body(i);
                    },
                    tbb::simple_partitioner());
}
#endif

#if defined(__SANITIZE_THREAD__)
Result<void> produce_in_order(std::size_t count,
                              const std::function<Result<void>(std::size_t)>& produce,
                              const std::function<void(std::size_t)>& consume) {
  for (std::size_t i = 0; i < count; ++i) {
    if (auto done = produce(i); !done) return done;
    consume(i);
  }
  return {};
}
#else
Result<void> produce_in_order(std::size_t count,
                              const std::function<Result<void>(std::size_t)>& produce,
                              const std::function<void(std::size_t)>& consume) {
  tbb::task_group consumers;
  Result<void> result;
  try {
    for (std::size_t i = 0; i < count && result; ++i) {
      result = produce(i);
      if (result) consumers.run([&consume, i] { consume(i); });
    }
  } catch (...) {
    consumers.wait();  // they refer to the caller's state
    throw;
  }
  consumers.wait();
  return result;
}
#endif

Result<void> for_each_until_error(std::size_t count,
                                  const std::function<Result<void>(std::size_t)>& body) {
  std::atomic<bool> failed{false};
  std::mutex mu;
  std::optional<Error> first;  // guarded by mu
  for_each_index(count, [&](std::size_t i) {
    if (failed.load(std::memory_order_acquire)) return;
    if (auto done = body(i); !done) {
      std::lock_guard<std::mutex> l(mu);
      if (!first) first = std::move(done.error());
      failed.store(true, std::memory_order_release);
    }
  });
  if (first) return fail(std::move(*first));
  return {};
}

}  // namespace pelorin::pool
