// Operations the runtime's own files share; all run with the runtime mutex held (the
// guard) unless they say otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "error/error.h"
#include "rt/pin.h"
#include "rt/runtime.h"

namespace pelorin::rt {

// Keeps `used` + `need` within the limit by compressing or dropping unpinned buffers, one
// victim per pass, never `exclude`. May release and re-take the mutex: callers read the
// table again afterwards. Budget error when no room can be made.
//
// With `yield_if_taken`, it gives up early (with success, nothing reserved) as soon as
// another thread is found restoring `exclude`: the caller, which looks at the buffer again,
// then waits for that restore instead of making room for the same bytes a second time.
Result<void> make_room(Shared& s, Guard& g, std::uint64_t need,
                       std::optional<std::uint64_t> exclude, bool for_prefetch, double next_use,
                       bool yield_if_taken = false);

// Discards the buffer's data (the id must be in the table).
void drop_data(Inner& in, std::uint64_t id);

// Estimated compression ratio of the first MiB of `data`; 1.0 when it cannot be told.
double probe_ratio(std::span<const std::byte> data, std::uint64_t elem, std::int32_t level);

// Compresses a resident, unpinned, idle buffer with the mutex released meanwhile. A
// failure leaves it resident and marks it incompressible.
void compress(Shared& s, Guard& g, std::uint64_t id);

// Restores a packed buffer. False when another thread is already on it or it is no longer
// packed; the caller looks again.
Result<bool> restore_packed(Shared& s, Guard& g, std::uint64_t id, bool for_prefetch,
                            double next_use);

// The one pin path: waits while the buffer is busy, brings its bytes back and pins it.
// Called without the lock.
Result<Pin> pin_with(const std::shared_ptr<Shared>& s, std::uint64_t id, bool write,
                     bool strict, bool record);

// Before a write or a free: fails when derived buffers that are not in memory still need
// this buffer's bytes; otherwise detaches them.
Result<void> release_dependents(Inner& in, std::uint64_t id);

// The buffer stops being a function of its inputs.
void forget_lineage(Inner& in, std::uint64_t id);

// Ends a lineage taken out of the table: its callback is destroyed once the mutex goes.
void retire(Inner& in, Lineage&& lineage);

// Re-reads or first loads a file-backed buffer; re-computes a derived one.
Result<bool> restore_source(Shared& s, Guard& g, std::uint64_t id, bool for_prefetch,
                            double next_use);
Result<bool> restore_lineage(const std::shared_ptr<Shared>& s, Guard& g, std::uint64_t id);

// Queues the buffers predicted to follow `id` for the service thread.
void schedule(Shared& s, Inner& in, std::uint64_t id);

// Seconds on the monotonic clock.
double now_seconds();

// Runs `work` with the mutex released, for a thread that has marked a buffer busy, and
// takes the mutex again. Should `work` throw, `on_throw` runs under the mutex to give the
// buffer back, waiters are woken, and the exception goes on.
template <typename Work, typename OnThrow>
auto unlocked(Shared& s, Guard& g, Work&& work, OnThrow&& on_throw) -> decltype(work()) {
  g.lock().unlock();
  try {
    auto result = work();
    g.lock().lock();
    return result;
  } catch (...) {
    if (!g.lock().owns_lock()) g.lock().lock();
    on_throw();
    s.broadcast();
    throw;
  }
}

// Test seams for the failure paths of compression, which real memory and real data make
// hard to reach: the next compression fails after `pieces` pieces; with `undo` its undo
// fails too. Off unless set; counts down and clears itself.
namespace testing {
void fail_next_compression(int pieces, bool undo);
}

}  // namespace pelorin::rt
