// The buffer table: creating, freeing and describing buffers, and explicit eviction.
#include <algorithm>

#include "platform/platform.h"
#include "rt/internal.h"

namespace pelorin::rt {

const char* state_name(State s) {
  switch (s) {
    case State::Resident: return "resident";
    case State::Compressed: return "compressed";
    case State::Dropped: return "dropped";
    case State::Unloaded: return "unloaded";
  }
  fatal("unknown buffer state");
}

namespace {

Error unknown(std::uint64_t id) { return Error::invalid_argument(fmt::format("unknown buffer {}", id)); }

// The buffer once no other thread is working on it; it may be freed while we wait.
Result<Buf*> idle(Shared& s, Guard& g, std::uint64_t id) {
  for (;;) {
    auto it = g->bufs.find(id);
    if (it == g->bufs.end()) return fail(unknown(id));
    if (!it->second.busy) return &it->second;
    s.wait(g);
  }
}

}  // namespace

Result<std::uint64_t> Runtime::alloc(std::uint64_t nbytes, std::uint64_t elem) const {
  if (nbytes == 0) return fail(Error::invalid_argument("a buffer holds at least one byte"));
  if (elem == 0 || elem > 16 || (elem & (elem - 1)) != 0 || nbytes % elem != 0)
    return fail(Error::invalid_argument(fmt::format(
        "element size {} must be 1, 2, 4, 8 or 16 and divide {} bytes", elem, nbytes)));
  // A size whose rounding wraps is still a request for more than any budget holds.
  std::uint64_t rounded = platform::round_up_to_pages(nbytes);
  if (rounded < nbytes) rounded = UINT64_MAX;
  Shared& s = *shared_;
  Guard g = s.lock();
  if (auto room = make_room(s, g, rounded, std::nullopt, false, 0.0); !room)
    return fail(room.error());
  auto region = Region::create(nbytes);
  if (!region) return fail(region.error());
  g->used += region->len();
  g->stats.peak_used = std::max(g->stats.peak_used, g->used);
  const std::uint64_t id = g->next_id++;
  Buf& b = g->bufs[id];
  b.data = std::move(*region);
  b.nbytes = nbytes;
  b.elem = elem;
  b.tick = g->tick;
  return id;
}

Result<void> Runtime::free(std::uint64_t id) const {
  Shared& s = *shared_;
  Guard g = s.lock();
  auto found = idle(s, g, id);
  if (!found) return fail(found.error());
  Buf& b = **found;
  if (b.pins != 0) return fail(Error::invalid_argument(fmt::format("buffer {} is pinned", id)));
  if (auto ok = release_dependents(*g, id); !ok) return ok;

  auto node = g->bufs.extract(id);
  Buf& gone = node.mapped();
  g->used -= held_size(gone.data);
  if (gone.lineage && !g->bufs.empty()) {
    for (std::uint64_t input : gone.lineage->inputs) {
      auto in = g->bufs.find(input);
      if (in == g->bufs.end()) continue;
      std::erase(in->second.dependents, id);
    }
  }
  if (gone.lineage) retire(*g, std::move(*gone.lineage));
  g->queued.erase(id);
  std::erase_if(g->transitions, [id](const auto& t) {
    return t.first.first == id || t.first.second == id || t.second == id;
  });
  node = {};  // unmaps its memory
  s.broadcast();
  return {};
}

Result<State> Runtime::state(std::uint64_t id) const {
  Guard g = shared_->lock();
  auto it = g->bufs.find(id);
  if (it == g->bufs.end()) return fail(unknown(id));
  const Buf& b = it->second;
  if (b.resident()) return State::Resident;
  if (b.packed()) return State::Compressed;
  if (b.rereadable() || b.lineage) return State::Dropped;
  return State::Unloaded;
}

void Runtime::for_each_lineage_func(const std::function<void(LineageFunc&)>& fn) const {
  Guard g = shared_->lock();
  for (auto& [id, b] : g->bufs)
    if (b.lineage && b.lineage->func) fn(*b.lineage->func);
}

Result<std::uint64_t> Runtime::nbytes(std::uint64_t id) const {
  Guard g = shared_->lock();
  auto it = g->bufs.find(id);
  if (it == g->bufs.end()) return fail(unknown(id));
  return it->second.nbytes;
}

Stats Runtime::stats() const {
  Guard g = shared_->lock();
  Stats st = g->stats;
  st.used = g->used;
  st.buffers = g->bufs.size();
  for (const auto& [id, b] : g->bufs) {
    if (const Region* r = std::get_if<Region>(&b.data)) {
      st.resident_bytes += r->len();
      if (b.pins != 0) st.pinned_bytes += r->len();
    } else if (const Packed* p = std::get_if<Packed>(&b.data)) {
      st.compressed_bytes += p->stored;
    }
  }
  return st;
}

Result<Pin> Runtime::pin(std::uint64_t id, bool write) const {
  return pin_with(shared_, id, write, false, true);
}

Result<bool> Runtime::evict(std::uint64_t id) const {
  Shared& s = *shared_;
  Guard g = s.lock();
  auto found = idle(s, g, id);
  if (!found) return fail(found.error());
  Buf& b = **found;
  if (b.pins > 0) return false;
  if (!b.rereadable() && !b.recomputable()) {
    if (!b.resident() || b.incompressible) return false;
    if (!b.ratio)
      b.ratio = probe_ratio(std::get<Region>(b.data).bytes(), b.elem, s.opts.compress_level);
    if (s.opts.min_saving > 1.0 - 1.0 / *b.ratio) {
      b.incompressible = true;
      return false;
    }
    const std::uint64_t before = g->used;
    compress(s, g, id);
    return g->used < before;
  }
  if (!b.has_data()) return false;
  drop_data(*g, id);
  return true;
}

}  // namespace pelorin::rt
