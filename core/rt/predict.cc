// What one more repetition of the last recorded cycle of pins would cost, found by
// replaying it against the budget with farthest-next-use replacement.
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "rt/internal.h"

namespace pelorin::rt {

namespace {

struct Item {
  std::uint64_t id;
  std::uint64_t bytes;
  double cost;
};

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

}  // namespace

std::optional<Prediction> Runtime::predict() const {
  const Shared& s = *shared_;
  Guard g = shared_->lock();
  const Inner& in = *g;
  if (in.trace.empty()) return std::nullopt;

  // The cycle: everything after the previous pin of the last pinned buffer.
  const std::size_t last = in.trace.size() - 1;
  const std::uint64_t x = in.trace[last].id;
  std::size_t start = last;
  while (start > 0 && in.trace[start - 1].id != x) --start;
  if (start == 0) return std::nullopt;
  const std::size_t earlier = start - 1;

  Prediction out;
  out.last_seconds = std::max(in.trace[last].at - in.trace[earlier].at, 0.0);
  double measured = 0;
  std::vector<Item> items;
  std::unordered_set<std::uint64_t, SeededHash> distinct;
  for (std::size_t i = start; i <= last; ++i) {
    const Trace& t = in.trace[i];
    measured += t.seconds;
    auto it = in.bufs.find(t.id);
    if (it == in.bufs.end()) continue;
    const Buf& b = it->second;
    const double n = static_cast<double>(b.nbytes);
    const double cost = b.source && !b.written ? n / in.read_rate.speed()
                        : b.lineage            ? b.lineage->seconds
                                               : n / in.decompress_rate.speed();
    items.push_back(Item{t.id, platform::round_up_to_pages(b.nbytes), cost});
    if (distinct.insert(t.id).second) out.cycle_bytes += items.back().bytes;
  }
  out.cycle_pins = items.size();

  const std::uint64_t limit = limit_of(s);
  std::uint64_t capacity = limit;
  if (s.opts.prefetch) {
    const std::uint64_t window = std::max<std::uint64_t>(1, std::min(limit / 4, s.opts.lookahead));
    capacity = limit > window ? limit - window : 0;
  }

  // Three repetitions: two warm the resident set up, the third is the steady state.
  const std::size_t n = items.size();
  const std::size_t total = 3 * n;
  std::vector<std::size_t> next_use(total, kNever);
  {
    std::unordered_map<std::uint64_t, std::size_t, SeededHash> seen_at;
    for (std::size_t i = total; i-- > 0;) {
      const std::uint64_t id = items[i % n].id;
      auto it = seen_at.find(id);
      next_use[i] = it == seen_at.end() ? kNever : it->second;
      seen_at[id] = i;
    }
  }
  struct Resident {
    std::uint64_t bytes;
    std::size_t next;
  };
  std::unordered_map<std::uint64_t, Resident, SeededHash> resident;
  std::uint64_t held = 0;
  for (std::size_t i = 0; i < total; ++i) {
    const Item& item = items[i % n];
    if (auto it = resident.find(item.id); it != resident.end()) {
      it->second.next = next_use[i];
      continue;
    }
    if (i >= 2 * n) {
      out.restore_bytes += item.bytes;
      out.restore_seconds += item.cost;
    }
    resident[item.id] = Resident{item.bytes, next_use[i]};
    held += item.bytes;
    while (held > capacity) {
      auto victim = resident.end();
      for (auto it = resident.begin(); it != resident.end(); ++it) {
        if (it->first == item.id) continue;
        if (victim == resident.end() || it->second.next > victim->second.next) victim = it;
      }
      if (victim == resident.end()) break;
      held -= victim->second.bytes;
      resident.erase(victim);
    }
  }

  out.compute_seconds = std::max(out.last_seconds - measured, 0.0);
  out.prefetch = s.opts.prefetch;
  out.seconds = out.prefetch ? std::max(out.compute_seconds, out.restore_seconds)
                             : out.compute_seconds + out.restore_seconds;
  return out;
}

}  // namespace pelorin::rt
