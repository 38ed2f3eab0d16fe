// Derived buffers: computing them, computing them again when their data was dropped, and
// keeping their lineages true when an input is written or freed.
#include "rt/lineage.h"

#include <fmt/ranges.h>

#include <algorithm>
#include <vector>

#include "rt/internal.h"

namespace pelorin::rt {

namespace {

// The byte slices of held pins, in pin order.
std::vector<std::span<const std::byte>> slices_of(const std::vector<Pin>& pins) {
  std::vector<std::span<const std::byte>> out;
  out.reserve(pins.size());
  for (const Pin& p : pins) out.emplace_back(p.ptr(), p.nbytes());
  return out;
}

// Internal read pins of `ids`, in order; each brings its buffer back first.
Result<std::vector<Pin>> pin_inputs(const std::shared_ptr<Shared>& s,
                                    const std::vector<std::uint64_t>& ids) {
  std::vector<Pin> pins;
  pins.reserve(ids.size());
  for (std::uint64_t input : ids) {
    auto pin = pin_with(s, input, false, false, false);
    if (!pin) return fail(pin.error());  // the pins taken so far go with `pins`
    pins.push_back(std::move(*pin));
  }
  return pins;
}

bool same_digest(const spill::Digest& a, const spill::Digest& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

void retire(Inner& in, Lineage&& lineage) {
  if (lineage.func) in.retired.push_back(std::move(lineage.func));
}

Result<void> release_dependents(Inner& in, std::uint64_t id) {
  auto it = in.bufs.find(id);
  if (it == in.bufs.end() || it->second.dependents.empty()) return {};
  std::vector<std::uint64_t> blocking;
  for (std::uint64_t d : it->second.dependents) {
    auto dep = in.bufs.find(d);
    if (dep != in.bufs.end() && dep->second.lineage && !dep->second.has_data())
      blocking.push_back(d);
  }
  if (!blocking.empty())
    return fail(Error::invalid_argument(fmt::format(
        "buffer {} is needed to re-compute buffers [{}], which are not in memory; use them "
        "(pin) or free them first",
        id, fmt::join(blocking, ", "))));
  for (std::uint64_t d : std::exchange(it->second.dependents, {})) {
    auto dep = in.bufs.find(d);
    if (dep == in.bufs.end() || !dep->second.lineage) continue;
    retire(in, std::move(*dep->second.lineage));
    dep->second.lineage.reset();
  }
  return {};
}

void forget_lineage(Inner& in, std::uint64_t id) {
  auto it = in.bufs.find(id);
  if (it == in.bufs.end() || !it->second.lineage) return;
  Lineage lineage = std::move(*it->second.lineage);
  it->second.lineage.reset();
  for (std::uint64_t input : lineage.inputs) {
    auto in_it = in.bufs.find(input);
    if (in_it != in.bufs.end()) std::erase(in_it->second.dependents, id);
  }
  retire(in, std::move(lineage));
}

Result<std::uint64_t> Runtime::derive(std::vector<std::uint64_t> inputs, std::uint64_t nbytes,
                                      std::uint64_t elem,
                                      std::shared_ptr<LineageFunc> func) const {
  if (nbytes == 0) return fail(Error::invalid_argument("a buffer holds at least one byte"));
  if (elem == 0 || elem > 16 || (elem & (elem - 1)) != 0 || nbytes % elem != 0)
    return fail(Error::invalid_argument(fmt::format(
        "element size {} must be 1, 2, 4, 8 or 16 and divide {} bytes", elem, nbytes)));
  {
    Guard g = shared_->lock();
    for (std::uint64_t input : inputs)
      if (!g->bufs.contains(input))
        return fail(Error::invalid_argument(fmt::format("unknown buffer {}", input)));
  }

  auto made = alloc(nbytes, elem);
  if (!made) return fail(made.error());
  const std::uint64_t id = *made;

  struct Computed {
    spill::Digest digest;
    double seconds;
  };
  auto compute = [&]() -> Result<Computed> {
    auto pins = pin_inputs(shared_, inputs);
    if (!pins) return fail(pins.error());
    auto out = pin_with(shared_, id, true, true, false);
    if (!out) return fail(out.error());
    const std::span<std::byte> bytes(out->ptr(), static_cast<std::size_t>(out->nbytes()));
    const auto slices = slices_of(*pins);
    const double t0 = now_seconds();
    if (auto ok = func->compute(slices, bytes); !ok) return fail(ok.error());
    const double seconds = now_seconds() - t0;
    return Computed{spill::digest(bytes), seconds};
  };  // the output pin goes, then the input pins
  auto computed = compute();
  if (!computed) {
    (void)free(id);  // never handed out; a failure to free changes nothing for the caller
    return fail(computed.error());
  }

  Guard g = shared_->lock();
  Buf& b = g->bufs.at(id);
  b.written = false;
  if (b.lineage) retire(*g, std::move(*b.lineage));
  b.lineage = Lineage{inputs, computed->digest, std::move(func), computed->seconds};
  for (std::uint64_t input : inputs)
    if (auto it = g->bufs.find(input); it != g->bufs.end()) it->second.dependents.push_back(id);
  return id;
}

Result<bool> restore_lineage(const std::shared_ptr<Shared>& sp, Guard& g, std::uint64_t id) {
  Shared& s = *sp;
  Buf& first = g->bufs.at(id);
  const std::vector<std::uint64_t> inputs = first.lineage->inputs;
  const spill::Digest digest = first.lineage->digest;
  const std::shared_ptr<LineageFunc> func = first.lineage->func;
  const std::uint64_t nbytes = first.nbytes;
  const std::uint64_t need = platform::round_up_to_pages(nbytes);
  first.busy = true;

  bool reserved = false;
  double seconds = 0;
  // Runs with the mutex released but for making room.
  auto rebuild = [&]() -> Result<Region> {
    auto pins = pin_inputs(sp, inputs);
    if (!pins) return fail(pins.error());
    {
      g.lock().lock();
      auto room = make_room(s, g, need, id, false, 0.0);
      if (room) {
        g->used += need;
        g->stats.peak_used = std::max(g->stats.peak_used, g->used);
        reserved = true;
      }
      g.lock().unlock();
      if (!room) return fail(room.error());
    }
    auto region = Region::create(nbytes, platform::Populate::Now);
    if (!region) return fail(region.error());
    const auto slices = slices_of(*pins);
    const double t0 = now_seconds();
    if (auto ok = func->compute(slices, region->bytes()); !ok) return fail(ok.error());
    seconds = now_seconds() - t0;
    if (!same_digest(spill::digest(region->bytes()), digest))
      return fail(Error::integrity(fmt::format(
          "re-computing buffer {} gave different data: its computation is not deterministic "
          "or its inputs changed",
          id)));
    return region;
  };  // the input pins go here, before the lock is taken again
  // A busy buffer is never freed, so it is still in the table.
  auto settle = [&](bool ok) -> Buf& {
    Buf& b = g->bufs.at(id);
    b.busy = false;
    if (!ok && reserved) g->used -= need;
    s.broadcast();
    return b;
  };
  Result<Region> rebuilt = unlocked(s, g, rebuild, [&] { settle(false); });
  Buf& b = settle(rebuilt.has_value());
  if (!rebuilt) return fail(rebuilt.error());
  g->used -= held_size(b.data);
  b.data = std::move(*rebuilt);
  if (b.lineage) b.lineage->seconds = 0.3 * seconds + 0.7 * b.lineage->seconds;
  g->stats.recomputes += 1;
  g->stats.recompute_bytes += nbytes;
  g->stats.recompute_seconds += seconds;
  return true;
}

}  // namespace pelorin::rt
