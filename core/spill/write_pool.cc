#include "spill/write_pool.h"

#include <tbb/global_control.h>
#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

#include <algorithm>
#include <exception>
#include <future>
#include <memory>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "platform/platform.h"

namespace pelorin::spill {

namespace {

constexpr std::string_view kNamePrefix = "pelorin-spill-";

// Set while the thread works inside the pool's arena.
thread_local bool t_in_pool = false;
// The name the thread had before it entered the pool, given back when it leaves.
thread_local std::string t_saved_name;

// The scheduler's worker threads serve every arena in turn, so whatever a thread gets on
// entering the pool it gives back on leaving it.
class PoolObserver final : public tbb::task_scheduler_observer {
 public:
  PoolObserver(tbb::task_arena& arena, std::string fallback_name)
      : tbb::task_scheduler_observer(arena), fallback_name_(std::move(fallback_name)) {}

  void on_scheduler_entry(bool) override {
    std::string name = platform::get_thread_name();
    // A thread that the scheduler started from one of the pool's threads inherited the
    // pool's name (and I/O priority); it gets the process's name back instead.
    if (name.starts_with(kNamePrefix)) name = fallback_name_;
    t_saved_name = std::move(name);
    platform::set_thread_name(
        fmt::format("{}{}", kNamePrefix, tbb::this_task_arena::current_thread_index()).c_str());
    platform::lower_io_priority();
    t_in_pool = true;
  }

  void on_scheduler_exit(bool) override {
    t_in_pool = false;
    platform::restore_io_priority();
    platform::set_thread_name(t_saved_name.c_str());
  }

 private:
  const std::string fallback_name_;
};

struct Pool {
  explicit Pool(unsigned n)
      : threads(n),
        // With no slot kept for external threads, every one of the arena's threads is a
        // worker. The scheduler's default keeps one worker fewer than processors, which
        // would leave a pool as wide as the machine a thread short; raise the limit for
        // the life of the process unless something already allows enough.
        limit(tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) <
                      n + 1
                  ? std::make_unique<tbb::global_control>(
                        tbb::global_control::max_allowed_parallelism, n + 1)
                  : nullptr),
        arena(static_cast<int>(n), 0),
        observer(arena, platform::process_name()) {
    arena.initialize();
    observer.observe(true);
  }

  const unsigned threads;
  std::unique_ptr<tbb::global_control> limit;
  tbb::task_arena arena;
  PoolObserver observer;
};

Pool* build_pool() {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer cannot follow tasks through an uninstrumented oneTBB; its builds
  // write on the calling thread, as when the pool cannot be had.
  return nullptr;
#endif
  try {
    const unsigned cpus = platform::online_cpus();
    return new Pool(cpus == 0 ? 2u : std::min(cpus, 4u));
  } catch (...) {
    // Without a pool, spill writes run on their callers' threads.
    return nullptr;
  }
}

// Built once, on first use, and kept for the life of the process: worker threads may
// still be leaving the arena while the process ends, so it is never torn down.
Pool* pool() {
  static Pool* const p = build_pool();
  return p;
}

}  // namespace

void run_in_write_pool(const std::function<void()>& work) {
  Pool* p = t_in_pool ? nullptr : pool();
  if (p == nullptr) {
    work();
    return;
  }
  // Shared with the task, so neither side outlives the state the other still touches.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  p->arena.enqueue([&work, done] {
    try {
      work();
      done->set_value();
    } catch (...) {
      done->set_exception(std::current_exception());
    }
  });
  finished.get();
}

bool in_write_pool() { return t_in_pool; }

unsigned write_pool_threads() {
  Pool* p = pool();
  return p == nullptr ? 0 : p->threads;
}

}  // namespace pelorin::spill
