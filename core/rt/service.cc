// The service thread "pelorin-rt": predicting the next pins from the recorded order,
// bringing those buffers back ahead of use, and holding part of the budget back.
#include "rt/service.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "platform/platform.h"
#include "rt/internal.h"

namespace pelorin::rt {

namespace {

constexpr int kMaxSteps = 64;

// Bytes of predicted buffers the runtime looks ahead by.
std::uint64_t window_of(const Shared& s) {
  return std::max<std::uint64_t>(1, std::min(Runtime::limit_of(s) / 4, s.opts.lookahead));
}

}  // namespace

void schedule(Shared& s, Inner& in, std::uint64_t id) {
  const std::uint64_t window = window_of(s);
  std::unordered_set<std::uint64_t, SeededHash> visited;
  std::uint64_t sum = 0;
  double steps = 0;
  bool queued_any = false;
  std::optional<std::uint64_t> a = in.prev;
  std::uint64_t b = id;
  for (;;) {
    std::optional<std::uint64_t> predicted;
    if (a) {
      if (auto t = in.transitions.find({*a, b}); t != in.transitions.end()) predicted = t->second;
    }
    if (!predicted) {
      auto it = in.bufs.find(b);
      if (it == in.bufs.end() || !it->second.next) break;
      predicted = it->second.next;
    }
    const std::uint64_t p = *predicted;
    if (p == id || visited.contains(p) || steps >= kMaxSteps) break;
    visited.insert(p);
    auto it = in.bufs.find(p);
    if (it == in.bufs.end()) break;
    const Buf& buf = it->second;
    steps += 1;
    sum += platform::round_up_to_pages(buf.nbytes);
    if (!buf.resident() && !buf.lineage && !buf.busy && !in.queued.contains(p)) {
      in.queued.insert(p);
      in.queue.emplace_back(p, steps);
      queued_any = true;
    }
    if (sum >= window) break;
    a = b;
    b = p;
  }
  if (queued_any) s.broadcast();
}

Result<void> Runtime::prefetch(std::uint64_t id) const {
  Shared& s = *shared_;
  {
    Guard g = s.lock();
    if (!g->bufs.contains(id))
      return fail(Error::invalid_argument(fmt::format("unknown buffer {}", id)));
    if (!s.opts.prefetch || g->queued.contains(id)) return {};
    g->queued.insert(id);
    g->queue.emplace_back(id, 1.0);
  }
  s.broadcast();
  return {};
}

Result<void> Runtime::hold_back(std::uint64_t nbytes) const {
  Shared& s = *shared_;
  const std::uint64_t two = 2 * s.headroom;
  const std::uint64_t wanted =
      nbytes > std::numeric_limits<std::uint64_t>::max() - two ? std::numeric_limits<std::uint64_t>::max()
                                                                : nbytes + two;
  if (wanted > s.opts.budget)
    return fail(Error::budget(
        fmt::format("holding back {} leaves less than {} of a {} budget for buffers", mib(nbytes),
                    mib(s.headroom), mib(s.opts.budget))));
  const std::uint64_t old = s.held_back.exchange(nbytes);
  {
    Guard g = s.lock();
    if (auto room = make_room(s, g, 0, std::nullopt, false, 0.0); !room) {
      s.held_back.store(old);
      return fail(room.error());
    }
  }
  s.broadcast();
  return {};
}

void service_main(std::shared_ptr<Shared> shared) noexcept {
  platform::set_thread_name("pelorin-rt");
  Shared& s = *shared;
  try {
    Guard g = s.lock();
    for (;;) {
      // The stop flag comes before the queue: pending requests are abandoned at shutdown.
      if (g->stop) break;
      if (g->queue.empty()) {
        s.wait(g);
        continue;
      }
      const auto [id, next_use] = g->queue.front();
      g->queue.pop_front();
      g->queued.erase(id);
      auto it = g->bufs.find(id);
      if (it == g->bufs.end()) continue;
      const Buf& b = it->second;
      if (b.busy || b.pins > 0 || b.lineage || b.resident()) continue;
      const std::uint64_t nbytes = b.nbytes;
      Result<bool> restored = b.packed() ? restore_packed(s, g, id, true, next_use)
                                         : restore_source(s, g, id, true, next_use);
      if (!g.lock().owns_lock()) g.lock().lock();
      if (!restored) {
        if (restored.error().kind() == Error::Kind::Budget) g->stats.prefetch_skipped += 1;
        continue;
      }
      if (!*restored) continue;
      if (auto back = g->bufs.find(id); back != g->bufs.end()) back->second.prefetched = true;
      g->stats.prefetches += 1;
      g->stats.prefetch_bytes += nbytes;
    }
  } catch (const FatalError&) {
    // The text is on standard error already; the owner discards the failure at join.
  }
}

}  // namespace pelorin::rt
