// The one pin path and the pin history it records.
#include "rt/pin.h"

#include <chrono>

#include "rt/internal.h"

namespace pelorin::rt {

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Pin::Pin(Pin&& other) noexcept
    : shared_(std::move(other.shared_)), id_(other.id_), ptr_(other.ptr_),
      nbytes_(other.nbytes_), write_(other.write_), strict_(other.strict_) {}

Pin::~Pin() {
  if (!shared_) return;
  {
    Guard g = shared_->lock();
    auto it = g->bufs.find(id_);
    if (it != g->bufs.end()) --it->second.pins;
  }
  shared_->broadcast();
}

namespace {

constexpr std::size_t kTraceCap = 65536;

// Sequence history, trace and the buffer's own reuse figures for one recorded pin.
void record_pin(Inner& in, std::uint64_t id, double d) {
  const std::uint64_t t = ++in.tick;
  in.stats.pins += 1;
  in.stats.restore_seconds += d;

  if (!in.last) {
    in.prev.reset();
    in.last = id;
  } else if (*in.last != id) {
    const std::uint64_t l = *in.last;
    if (auto it = in.bufs.find(l); it != in.bufs.end()) it->second.next = id;
    if (in.prev) {
      if (in.transitions.size() >= 4 * in.bufs.size() + 1024) in.transitions.clear();
      in.transitions[{*in.prev, l}] = id;
    }
    in.prev = l;
    in.last = id;
  }

  if (in.trace.size() >= kTraceCap) in.trace.pop_front();
  in.trace.push_back(Trace{id, d, now_seconds()});

  Buf& b = in.bufs.at(id);
  if (b.uses != 0) {
    const double gap = static_cast<double>(t - b.tick);
    b.interval = b.interval == 0.0 ? gap : 0.5 * b.interval + 0.5 * gap;
  }
  b.tick = t;
  b.uses += 1;
  b.reused = b.seen;
  b.seen = true;
  if (b.prefetched) {
    b.prefetched = false;
    in.stats.prefetch_hits += 1;
  }
}

}  // namespace

Result<Pin> pin_with(const std::shared_ptr<Shared>& sp, std::uint64_t id, bool write,
                     bool strict, bool record) {
  Shared& s = *sp;
  const double t0 = now_seconds();
  Guard g = s.lock();
  for (;;) {
    auto it = g->bufs.find(id);
    if (it == g->bufs.end())
      return fail(Error::invalid_argument(fmt::format("unknown buffer {}", id)));
    Buf& b = it->second;
    if (b.busy) {
      s.wait(g);
      continue;
    }
    if (b.broken) return fail(Error::integrity(*b.broken));
    if (strict && write && b.pins != 0)
      return fail(Error::invalid_argument(
          fmt::format("buffer {} is pinned; a writable pin needs it unpinned", id)));
    if (b.resident()) break;
    Result<bool> restored = b.packed()      ? restore_packed(s, g, id, false, 0.0)
                            : b.lineage     ? restore_lineage(sp, g, id)
                                            : restore_source(s, g, id, false, 0.0);
    if (!restored) return fail(restored.error());
  }
  if (write) {
    if (auto ok = release_dependents(*g, id); !ok) return fail(ok.error());
    forget_lineage(*g, id);
  }
  if (record) record_pin(*g, id, now_seconds() - t0);

  Buf& b = g->bufs.at(id);
  b.pins += 1;
  if (write) {
    b.written = true;
    b.ratio.reset();
    b.incompressible = false;
  }
  const Region* r = std::get_if<Region>(&b.data);
  PELORIN_CHECK(r != nullptr, "buffer {} is not resident when pinned", id);
  Pin pin(sp, id, r->ptr(), b.nbytes, write, strict);
  if (record && s.opts.prefetch) schedule(s, *g, id);
  return pin;
}

}  // namespace pelorin::rt
