// The buffer runtime: options, the shared state behind one mutex, and its handle.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "error/error.h"
#include "rt/buf.h"
#include "rt/pin.h"

namespace pelorin::rt {

enum class Policy : std::uint8_t { Reuse, Lru };

struct Options {
  std::optional<std::uint64_t> process_budget;  // bytes the whole process may occupy
  std::uint64_t budget = 0;                     // bytes the runtime may occupy, headroom included
  double min_saving = 0.15;   // share of a buffer compression must save to be worth it
  std::uint64_t lookahead = 64ull << 20;  // bytes the service thread brings back ahead of use
  std::int32_t compress_level = 1;
  Policy policy = Policy::Reuse;
  bool prefetch = true;  // run the service thread
};

// An estimate of a speed; the starting values weigh as 16 MiB of past work.
struct Rate {
  double bytes;
  double seconds;
  // Folds in one operation of `n` bytes that took `t` seconds (ignored unless both > 0).
  void update(double n, double t) {
    if (n > 0 && t > 0) {
      bytes = 0.98 * bytes + n;
      seconds = 0.98 * seconds + t;
    }
  }
  double speed() const { return bytes / seconds; }
};

// One recorded pin.
struct Trace {
  std::uint64_t id;
  double seconds;  // how long the pin call took, waiting and restoring included
  double at;       // monotonic time stamp of the record
};

struct Stats {
  std::uint64_t budget = 0, reserve = 0, used = 0, peak_used = 0, buffers = 0;
  std::uint64_t resident_bytes = 0, compressed_bytes = 0, pinned_bytes = 0;
  std::uint64_t pins = 0, loads = 0, load_bytes = 0, rereads = 0, reread_bytes = 0;
  double read_seconds = 0;
  std::uint64_t drops = 0, drop_bytes = 0;
  std::uint64_t compressions = 0, compress_in = 0, compress_out = 0;
  double compress_seconds = 0;
  std::uint64_t decompressions = 0, decompress_bytes = 0;
  double decompress_seconds = 0;
  std::uint64_t recomputes = 0, recompute_bytes = 0;
  double recompute_seconds = 0;
  std::uint64_t incompressible = 0, evictions = 0, refusals = 0;
  double restore_seconds = 0;
  std::uint64_t prefetches = 0, prefetch_bytes = 0, prefetch_hits = 0, prefetch_wasted = 0;
  std::uint64_t prefetch_skipped = 0, written_bytes = 0, outside_peak = 0, limit_low = 0;
};

// What one more repetition of the last recorded cycle of pins would cost.
struct Prediction {
  std::uint64_t cycle_pins = 0;     // pins in the cycle
  std::uint64_t cycle_bytes = 0;    // distinct bytes it touches, in whole pages
  std::uint64_t restore_bytes = 0;  // bytes brought back per cycle
  double restore_seconds = 0;
  double compute_seconds = 0;  // time between the pins, restores not included
  double seconds = 0;          // predicted time per cycle
  double last_seconds = 0;     // measured time of the last cycle
  bool prefetch = false;
};

// Hashing with a per-process random seed, so table layouts cannot be steered from outside.
struct SeededHash {
  static std::uint64_t seed();
  static std::uint64_t mix(std::uint64_t x);
  std::size_t operator()(std::uint64_t x) const { return mix(x ^ seed()); }
  std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& p) const {
    return mix(mix(p.first ^ seed()) ^ p.second);
  }
  std::size_t operator()(const std::string& s) const;
};

struct SourceFile;  // a backing file of file-backed buffers

// All mutable runtime state; guarded by Shared::mu.
struct Inner {
  std::optional<std::uint64_t> last;  // id of the most recent recorded pin
  std::optional<std::uint64_t> prev;  // the recorded pin before `last`
  std::deque<std::pair<std::uint64_t, double>> queue;  // (id, pins until use) for the service thread
  std::deque<Trace> trace;                             // recorded pins, oldest first
  std::unordered_map<std::uint64_t, Buf, SeededHash> bufs;
  std::unordered_map<std::string, std::shared_ptr<SourceFile>, SeededHash> files;
  std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t, SeededHash>
      transitions;  // (a, b) -> the id pinned after a then b
  std::unordered_set<std::uint64_t, SeededHash> queued;  // ids in `queue`
  std::uint64_t next_id = 1;
  std::uint64_t tick = 0;  // recorded pins so far
  std::uint64_t used = 0;  // bytes accounted to buffer data
  Stats stats;
  Rate read_rate{16777216.0, 0.011184810666666666};
  Rate compress_rate{16777216.0, 0.04194304};
  Rate decompress_rate{16777216.0, 0.013981013333333334};
  bool stop = false;  // set once when the runtime shuts down
  // Callbacks of lineages that ended while the mutex was held. They may call back into
  // their own language to be destroyed, so they go only once the mutex is released.
  std::vector<std::shared_ptr<LineageFunc>> retired;
};

class Shared;

// What `state()` reports of a buffer.
enum class State : std::uint8_t { Resident, Compressed, Dropped, Unloaded };
const char* state_name(State s);

// Locked access to Inner. Holds the runtime mutex for its lifetime.
class Guard {
 public:
  ~Guard();
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  Inner* operator->() const { return inner_; }
  Inner& operator*() const { return *inner_; }
  std::unique_lock<std::mutex>& lock() { return lock_; }

 private:
  friend class Shared;
  Guard(std::mutex& mu, Inner* inner) : lock_(mu), inner_(inner) {}
  std::unique_lock<std::mutex> lock_;
  Inner* inner_;
};

// State shared by the runtime handle, every pin and the service thread.
class Shared {
 public:
  Shared(const Options& opts, std::uint64_t headroom);
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  // Locks `inner`. std::mutex is never poisoned: a locked section that ends early
  // leaves the state as it was for the next locker.
  Guard lock() { return Guard(mu_, &inner_); }

  // Wakes every waiter on `cond`.
  void broadcast() { cond_.notify_all(); }
  // Waits on `cond` with the guard's lock.
  void wait(Guard& g) { cond_.wait(g.lock()); }

  const Options opts;
  const std::uint64_t headroom;  // compression bound of one piece, in whole pages
  std::atomic<std::uint64_t> held_back{0};  // read without the lock

 private:
  std::mutex mu_;
  std::condition_variable cond_;  // used only with mu_
  Inner inner_;                   // guarded by mu_
};

// Owns the service thread; the last Owner stops and joins it.
class Owner {
 public:
  explicit Owner(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  ~Owner();

  // Starts the service thread. Fails with the system's refusal as an Io error.
  Result<void> start_service();

 private:
  std::shared_ptr<Shared> shared_;
  std::mutex thread_mu_;
  std::optional<std::thread> thread_;  // guarded by thread_mu_
};

// Bytes of one piece's compression bound, rounded up to whole pages.
std::uint64_t headroom_bytes();

// The handle of one runtime. Copies share the state and the service thread.
class Runtime {
 public:
  // Validates the options, builds the state and starts the service thread if asked.
  static Result<Runtime> create(const Options& opts);

  // Bytes buffers may occupy: budget minus headroom minus what is held back. No lock.
  std::uint64_t limit() const { return limit_of(*shared_); }
  static std::uint64_t limit_of(const Shared& s) {
    return s.opts.budget - s.headroom - s.held_back.load(std::memory_order_relaxed);
  }

  const std::shared_ptr<Shared>& shared() const { return shared_; }

  // A new resident, zero-filled buffer of `nbytes` bytes of `elem`-byte elements; its id.
  Result<std::uint64_t> alloc(std::uint64_t nbytes, std::uint64_t elem) const;
  // Removes an unpinned buffer and gives its memory back.
  Result<void> free(std::uint64_t id) const;
  // Does not wait for busy buffers: one being worked on may read as dropped or unloaded.
  Result<State> state(std::uint64_t id) const;
  Result<std::uint64_t> nbytes(std::uint64_t id) const;
  // The counters, with the figures computed from the table filled in.
  Stats stats() const;
  // A recorded, non-strict pin; brings the buffer's bytes back first.
  Result<Pin> pin(std::uint64_t id, bool write) const;
  // Compresses or drops an unpinned buffer now; whether memory was freed.
  Result<bool> evict(std::uint64_t id) const;

  // A buffer computed by `func` from `inputs` now, and computed again whenever a pin finds
  // its data dropped; the result is checked against the digest of this first computation.
  Result<std::uint64_t> derive(std::vector<std::uint64_t> inputs, std::uint64_t nbytes,
                               std::uint64_t elem, std::shared_ptr<LineageFunc> func) const;
  // A buffer of the `nbytes` bytes at `offset` of the file at `path`, read by its first
  // pin. Opens the file (once per path) but reads nothing.
  Result<std::uint64_t> add_file(const std::string& path, std::uint64_t offset,
                                 std::uint64_t nbytes, std::uint64_t elem) const;
  // Queues the buffer for the service thread (nothing when prefetching is off).
  Result<void> prefetch(std::uint64_t id) const;
  // Keeps `nbytes` of the budget for memory outside the runtime (replacing the amount held
  // back before) and makes room for the smaller limit at once.
  Result<void> hold_back(std::uint64_t nbytes) const;
  // The cost of one more repetition of the last recorded cycle; nothing until the last
  // pinned buffer was pinned before.
  std::optional<Prediction> predict() const;

  // Calls `fn` with the callback of every lineage in the table, under the runtime mutex:
  // `fn` must not pin, free or wait.
  void for_each_lineage_func(const std::function<void(LineageFunc&)>& fn) const;

 private:
  Runtime(std::shared_ptr<Shared> shared, std::shared_ptr<Owner> owner)
      : shared_(std::move(shared)), owner_(std::move(owner)) {}

  std::shared_ptr<Shared> shared_;
  std::shared_ptr<Owner> owner_;
};

// Formats a byte count as MiB with two decimals: "8.03 MiB".
std::string mib(std::uint64_t bytes);

}  // namespace pelorin::rt
