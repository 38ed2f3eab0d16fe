// Making room: keeping the runtime's memory within its limit by compressing or dropping
// the buffers that are cheapest to bring back, weighed by how soon they are needed.
#include <algorithm>
#include <unordered_map>
#include <utility>

#include "platform/platform.h"
#include "rt/internal.h"

namespace pelorin::rt {

namespace {

enum class Action { Drop, Compress };

struct Choice {
  std::uint64_t id;
  Action action;
  double score;
};

double secs(std::uint64_t nbytes, const Rate& r) {
  return static_cast<double>(nbytes) / r.speed();
}

}  // namespace

void drop_data(Inner& in, std::uint64_t id) {
  Buf& b = in.bufs.at(id);
  Data old = std::exchange(b.data, Absent{});
  const bool was_prefetched = b.prefetched;
  b.prefetched = false;
  b.reused = false;
  b.seen = false;
  const std::uint64_t held = held_size(old);
  in.used -= held;
  in.stats.drops += 1;
  in.stats.drop_bytes += held;
  in.stats.evictions += 1;
  if (was_prefetched) in.stats.prefetch_wasted += 1;
  // `old` goes here: its region or piece regions are unmapped.
}

Result<void> make_room(Shared& s, Guard& g, std::uint64_t need,
                       std::optional<std::uint64_t> exclude, bool for_prefetch, double next_use,
                       bool yield_if_taken) {
  Inner& in = *g;
  const std::uint64_t held_back = s.held_back.load(std::memory_order_relaxed);
  const std::uint64_t plain = s.opts.budget - s.headroom - held_back;
  std::uint64_t limit = plain;
  std::optional<std::uint64_t> outside;
  if (s.opts.process_budget) {
    if (auto footprint = platform::process_footprint()) {
      const std::uint64_t out = *footprint > in.used ? *footprint - in.used : 0;
      const std::uint64_t taken = out + s.headroom;
      const std::uint64_t allowance =
          *s.opts.process_budget > taken ? *s.opts.process_budget - taken : 0;
      limit = std::min(limit, allowance);
      in.stats.outside_peak = std::max(in.stats.outside_peak, out);
      in.stats.limit_low = in.stats.limit_low == 0 ? limit : std::min(in.stats.limit_low, limit);
      outside = out;
    }
  }
  if (need > limit) {
    if (!for_prefetch) in.stats.refusals += 1;
    if (outside)
      return fail(Error::budget(fmt::format(
          "one buffer needs {}, more than the {} left of the process budget {}: the process "
          "holds {} outside the runtime",
          mib(need), mib(limit), mib(*s.opts.process_budget), mib(*outside))));
    return fail(Error::budget(
        fmt::format("one buffer needs {}, more than the budget {} minus the runtime's {} headroom",
                    mib(need), mib(s.opts.budget), mib(s.headroom))));
  }

  std::unordered_map<std::uint64_t, double> restore_cost;
  while (g->used + need > limit) {
    Inner& t = *g;
    if (yield_if_taken) {
      auto ex = t.bufs.find(*exclude);
      if (ex == t.bufs.end() || ex->second.busy) return {};
    }
    // 1. The usual gap between pins, for buffers that have none of their own yet.
    double interval_sum = 0;
    std::size_t interval_n = 0;
    for (const auto& [id, b] : t.bufs)
      if (b.interval > 0) interval_sum += b.interval, ++interval_n;
    const double avg_interval = interval_n ? interval_sum / static_cast<double>(interval_n) : 0.0;

    // 2. What bringing back each buffer that is not in memory would cost.
    restore_cost.clear();
    for (const auto& [id, b] : t.bufs) {
      if (b.resident()) continue;
      restore_cost[id] = b.packed()  ? secs(b.nbytes, t.decompress_rate)
                         : b.lineage ? b.lineage->seconds
                                     : secs(b.nbytes, t.read_rate);
    }

    // 3. While prefetching, buffers in reuse stay while they and the window fit.
    bool protect = false;
    if (for_prefetch) {
      const std::uint64_t plain_now =
          s.opts.budget - s.headroom - s.held_back.load(std::memory_order_relaxed);
      const std::uint64_t window =
          std::max<std::uint64_t>(1, std::min(plain_now / 4, s.opts.lookahead));
      std::uint64_t reused_held = 0;
      for (const auto& [id, b] : t.bufs)
        if (b.reused && b.has_data()) reused_held += held_size(b.data);
      protect = reused_held + window <= plain_now;
    }

    // 4-6. Score every way of freeing every candidate; the lowest score wins.
    std::optional<Choice> best;
    std::uint64_t newly_incompressible = 0;
    auto offer = [&](std::uint64_t id, Action a, double score) {
      if (!best || score < best->score) best = Choice{id, a, score};
    };
    for (auto& [id, b] : t.bufs) {
      if ((exclude && id == *exclude) || b.pins > 0 || b.busy || (protect && b.reused)) continue;
      const double age = static_cast<double>(t.tick - b.tick);
      double distance;
      if (s.opts.policy == Policy::Lru) {
        distance = age + 1;
      } else if (b.prefetched) {
        distance = 1;
      } else {
        const double iv = b.interval > 0 ? b.interval : avg_interval;
        distance = iv <= 0 ? age + 1
                           : std::max(static_cast<double>(b.tick) + iv -
                                          static_cast<double>(t.tick),
                                      0.0) + 1;
      }
      if (for_prefetch && (distance <= next_use || b.prefetched)) continue;

      const double nb = static_cast<double>(b.nbytes);
      const double held = static_cast<double>(held_size(b.data));
      double recompute = 0;
      if (b.lineage) {
        recompute = b.lineage->seconds;
        for (std::uint64_t input : b.lineage->inputs)
          if (auto c = restore_cost.find(input); c != restore_cost.end()) recompute += c->second;
      }
      if (b.resident()) {
        if (b.rereadable()) {
          offer(id, Action::Drop, nb / t.read_rate.speed() / held / distance);
        } else {
          if (b.recomputable()) offer(id, Action::Drop, recompute / held / distance);
          if (!b.incompressible) {
            if (!b.ratio)
              b.ratio = probe_ratio(std::get<Region>(b.data).bytes(), b.elem,
                                    s.opts.compress_level);
            const double saving = 1.0 - 1.0 / *b.ratio;
            if (saving < s.opts.min_saving) {
              b.incompressible = true;
              ++newly_incompressible;
            } else if (const double freed = saving * held; freed > 0) {
              offer(id, Action::Compress,
                    (nb / t.compress_rate.speed() + nb / t.decompress_rate.speed()) / freed /
                        distance);
            }
          }
        }
      } else if (b.packed()) {
        const double unpack = nb / t.decompress_rate.speed();
        if (b.rereadable()) {
          const double read = nb / t.read_rate.speed();
          offer(id, Action::Drop, std::max(read - unpack, 0.1 * read) / held / distance);
        } else if (b.recomputable()) {
          offer(id, Action::Drop,
                std::max(recompute - unpack, 0.1 * recompute) / held / distance);
        }
      }
    }
    t.stats.incompressible += newly_incompressible;

    // 7. Act on the best, or wait, or give up.
    if (best) {
      if (best->action == Action::Drop)
        drop_data(t, best->id);
      else
        compress(s, g, best->id);
      continue;
    }
    if (for_prefetch) return fail(Error::budget("prefetch would evict sooner needs"));
    const bool others_busy = std::any_of(t.bufs.begin(), t.bufs.end(), [&](const auto& e) {
      return e.second.busy && !(exclude && e.first == *exclude);
    });
    if (others_busy) {
      s.wait(g);
      continue;
    }
    t.stats.refusals += 1;
    std::uint64_t pinned = 0;
    for (const auto& [id, b] : t.bufs)
      if (b.pins > 0 && b.has_data()) pinned += held_size(b.data);
    return fail(Error::budget(fmt::format(
        "need {} more, {} of {} in use ({} pinned, {} that cannot be dropped or compressed "
        "further); unpin buffers or raise the budget",
        mib(need), mib(t.used), mib(limit), mib(pinned), mib(t.used - pinned))));
  }
  return {};
}

}  // namespace pelorin::rt
