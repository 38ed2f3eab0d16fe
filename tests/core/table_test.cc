// The buffer table (ids, allocation, freeing, stats) and the pin history it records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "rt/internal.h"
#include "rt/runtime.h"
#include "rt_testing.h"

namespace pelorin::rt {
namespace {

using namespace test;

// Compressible content, different for every seed and every word.
void fill(std::byte* p, std::uint64_t n, std::uint32_t seed) {
  for (std::uint64_t i = 0; i + 4 <= n; i += 4) {
    const std::uint32_t w = (seed << 24) ^ static_cast<std::uint32_t>(i / 4);
    std::memcpy(p + i, &w, 4);
  }
}

bool all_zero(const std::byte* p, std::uint64_t n) {
  for (std::uint64_t i = 0; i < n; ++i)
    if (p[i] != std::byte{0}) return false;
  return true;
}

TEST(Table, IdsCountUpAndAreNeverReused) {
  Runtime rt = make_runtime();
  EXPECT_EQ(ok(rt.alloc(100, 1)), 1u);
  EXPECT_EQ(ok(rt.alloc(100, 1)), 2u);
  EXPECT_EQ(ok(rt.alloc(100, 1)), 3u);
  ok(rt.free(2));
  EXPECT_EQ(ok(rt.alloc(100, 1)), 4u);
  ok(rt.free(1));
  ok(rt.free(3));
  ok(rt.free(4));
  // An empty table still does not hand out an old id.
  EXPECT_EQ(ok(rt.alloc(100, 1)), 5u);
  EXPECT_EQ(err(rt.state(2)), "invalid argument: unknown buffer 2");
  // A refused allocation takes no id either.
  EXPECT_FALSE(rt.alloc(0, 1));
  EXPECT_FALSE(rt.alloc(1ull << 40, 1));
  EXPECT_EQ(ok(rt.alloc(100, 1)), 6u);
}

TEST(Table, NewBufferIsResidentZeroedAndChargedInWholePages) {
  struct Case {
    std::uint64_t nbytes, elem, charged;
  };
  const Case cases[] = {
      {1, 1, kPage},
      {kPage, 4, kPage},
      {kPage + 1, 1, 2 * kPage},
      {5000, 8, 2 * kPage},
      {3 * 4 * kMiB + 16, 16, 3 * 4 * kMiB + kPage},
  };
  Runtime rt = make_runtime();
  std::uint64_t used = 0;
  std::uint64_t count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nbytes);
    const std::uint64_t id = ok(rt.alloc(c.nbytes, c.elem));
    ++count;
    used += c.charged;
    EXPECT_EQ(ok(rt.nbytes(id)), c.nbytes);
    EXPECT_STREQ(state_name(ok(rt.state(id))), "resident");
    const Stats st = rt.stats();
    EXPECT_EQ(st.used, used);
    EXPECT_EQ(st.resident_bytes, used);
    EXPECT_EQ(st.buffers, count);
    EXPECT_EQ(st.peak_used, used);
    Pin p = ok(rt.pin(id, false));
    EXPECT_EQ(p.nbytes(), c.nbytes);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p.ptr()) % kPage, 0u);
    EXPECT_TRUE(all_zero(p.ptr(), c.nbytes));
  }
}

TEST(Table, RejectsBadAllocArguments) {
  struct Case {
    std::uint64_t nbytes, elem;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      // The size is checked before the element is looked at.
      {0, 1, "invalid argument: a buffer holds at least one byte"},
      {0, 3, "invalid argument: a buffer holds at least one byte"},
      {0, 0, "invalid argument: a buffer holds at least one byte"},
      {12, 8, "invalid argument: element size 8 must be 1, 2, 4, 8 or 16 and divide 12 bytes"},
      {12, 3, "invalid argument: element size 3 must be 1, 2, 4, 8 or 16 and divide 12 bytes"},
      {16, 32, "invalid argument: element size 32 must be 1, 2, 4, 8 or 16 and divide 16 bytes"},
      {16, 0, "invalid argument: element size 0 must be 1, 2, 4, 8 or 16 and divide 16 bytes"},
      {24, 12, "invalid argument: element size 12 must be 1, 2, 4, 8 or 16 and divide 24 bytes"},
      {6, 4, "invalid argument: element size 4 must be 1, 2, 4, 8 or 16 and divide 6 bytes"},
      {1, 2, "invalid argument: element size 2 must be 1, 2, 4, 8 or 16 and divide 1 bytes"},
      {1, 1, nullptr},
      {2, 2, nullptr},
      {12, 4, nullptr},
      {24, 8, nullptr},
      {48, 16, nullptr},
  };
  Runtime rt = make_runtime();
  std::uint64_t accepted = 0;
  for (const Case& c : cases) {
    auto r = rt.alloc(c.nbytes, c.elem);
    if (c.error == nullptr) {
      EXPECT_TRUE(r) << c.nbytes << "/" << c.elem << ": " << err(r);
      if (r) {
        EXPECT_EQ(*r, ++accepted);
      }
    } else {
      ASSERT_FALSE(r) << c.nbytes << "/" << c.elem;
      EXPECT_EQ(r.error().kind(), Error::Kind::InvalidArgument);
      EXPECT_EQ(r.error().display(), c.error);
    }
  }
  const Stats st = rt.stats();
  EXPECT_EQ(st.buffers, accepted);
  EXPECT_EQ(st.used, accepted * kPage);
  EXPECT_EQ(st.refusals, 0u);
}

TEST(Table, UnknownIdsAreInvalidArguments) {
  Runtime rt = make_runtime();
  const std::uint64_t kept = ok(rt.alloc(10, 1));
  const std::uint64_t gone = ok(rt.alloc(10, 1));
  ok(rt.free(gone));
  for (std::uint64_t id : {std::uint64_t{7}, gone, std::uint64_t{0}}) {
    const std::string want = "invalid argument: unknown buffer " + std::to_string(id);
    EXPECT_EQ(err(rt.free(id)), want);
    EXPECT_EQ(err(rt.state(id)), want);
    EXPECT_EQ(err(rt.nbytes(id)), want);
    EXPECT_EQ(err(rt.pin(id, false)), want);
    EXPECT_EQ(err(rt.pin(id, true)), want);
    EXPECT_EQ(err(rt.evict(id)), want);
  }
  // None of the failures touched the buffer that is still there.
  EXPECT_STREQ(state_name(ok(rt.state(kept))), "resident");
  const Stats st = rt.stats();
  EXPECT_EQ(st.buffers, 1u);
  EXPECT_EQ(st.used, kPage);
  EXPECT_EQ(st.pins, 0u);
}

TEST(Table, FreeGivesBackTheHeldSize) {
  Runtime rt = make_runtime();
  const std::uint64_t small = ok(rt.alloc(1, 1));
  const std::uint64_t big = ok(rt.alloc(8 * kMiB + 12, 4));
  const std::uint64_t packed = ok(rt.alloc(8 * kMiB, 4));
  {
    Pin p = ok(rt.pin(packed, true));
    fill(p.ptr(), p.nbytes(), 3);
  }
  EXPECT_TRUE(ok(rt.evict(packed)));
  std::uint64_t stored = 0;
  {
    Guard g = rt.shared()->lock();
    stored = held_size(g->bufs.at(packed).data);
  }
  ASSERT_GT(stored, 0u);
  ASSERT_LT(stored, 8 * kMiB);
  EXPECT_EQ(rt.stats().used, kPage + 8 * kMiB + kPage + stored);

  ok(rt.free(big));
  Stats st = rt.stats();
  EXPECT_EQ(st.used, kPage + stored);
  EXPECT_EQ(st.buffers, 2u);
  ok(rt.free(packed));  // a compressed buffer gives back what its pieces held
  st = rt.stats();
  EXPECT_EQ(st.used, kPage);
  EXPECT_EQ(st.compressed_bytes, 0u);
  EXPECT_EQ(st.buffers, 1u);
  ok(rt.free(small));
  st = rt.stats();
  EXPECT_EQ(st.used, 0u);
  EXPECT_EQ(st.buffers, 0u);
  EXPECT_EQ(st.peak_used, 16 * kMiB + 2 * kPage);
  EXPECT_EQ(err(rt.free(small)), "invalid argument: unknown buffer " + std::to_string(small));
}

TEST(Table, PinnedBufferCannotBeFreed) {
  Runtime rt = make_runtime();
  const std::uint64_t id = ok(rt.alloc(5000, 1));
  const std::string want = "invalid argument: buffer " + std::to_string(id) + " is pinned";
  {
    Pin read = ok(rt.pin(id, false));
    EXPECT_EQ(err(rt.free(id)), want);
    {
      Pin write = ok(rt.pin(id, true));
      EXPECT_EQ(err(rt.free(id)), want);
    }
    // One of the two pins is still held.
    EXPECT_EQ(err(rt.free(id)), want);
    EXPECT_EQ(rt.stats().buffers, 1u);
  }
  ok(rt.free(id));
  EXPECT_EQ(rt.stats().used, 0u);
}

TEST(Table, StatsDescribeTheTable) {
  const std::uint64_t budget = 64 * kMiB;
  Runtime rt = make_runtime(budget);
  Stats st = rt.stats();
  EXPECT_EQ(st.budget, budget);
  EXPECT_EQ(st.reserve, 4210688u);
  EXPECT_EQ(st.written_bytes, 0u);
  EXPECT_EQ(st.used, 0u);
  EXPECT_EQ(st.buffers, 0u);

  const std::uint64_t a = ok(rt.alloc(5000, 4));
  const std::uint64_t b = ok(rt.alloc(4 * kMiB, 4));
  const std::uint64_t c = ok(rt.alloc(3 * kPage, 1));
  {
    Pin p = ok(rt.pin(b, true));
    fill(p.ptr(), p.nbytes(), 9);
  }
  EXPECT_TRUE(ok(rt.evict(b)));
  Pin pa = ok(rt.pin(a, false));
  Pin pa2 = ok(rt.pin(a, true));  // two pins of one buffer count its bytes once
  st = rt.stats();
  EXPECT_EQ(st.pinned_bytes, 2 * kPage);
  EXPECT_EQ(st.resident_bytes, 2 * kPage + 3 * kPage);
  EXPECT_GT(st.compressed_bytes, 0u);
  EXPECT_EQ(st.used, st.resident_bytes + st.compressed_bytes);
  EXPECT_EQ(st.buffers, 3u);
  EXPECT_EQ(st.pins, 3u);
  EXPECT_EQ(st.budget, budget);
  EXPECT_EQ(st.written_bytes, 0u);
  {
    Pin pc = ok(rt.pin(c, false));
    EXPECT_EQ(rt.stats().pinned_bytes, 5 * kPage);
  }
  EXPECT_EQ(rt.stats().pinned_bytes, 2 * kPage);
}

// The recorded history as one value, to compare snapshots.
struct History {
  std::optional<std::uint64_t> last, prev;
  std::vector<std::pair<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t>> transitions;
  std::vector<std::optional<std::uint64_t>> next;  // per id 1..n
  bool operator==(const History&) const = default;
};

History history(const Runtime& rt, std::uint64_t n) {
  Guard g = rt.shared()->lock();
  History h{g->last, g->prev, {}, {}};
  for (const auto& t : g->transitions) h.transitions.emplace_back(t.first, t.second);
  std::sort(h.transitions.begin(), h.transitions.end());
  for (std::uint64_t id = 1; id <= n; ++id) {
    auto it = g->bufs.find(id);
    h.next.push_back(it == g->bufs.end() ? std::nullopt : it->second.next);
  }
  return h;
}

void pin_once(const Runtime& rt, std::uint64_t id, bool write = false) {
  Pin p = ok(rt.pin(id, write));
}

TEST(PinHistory, RepeatedPinCountsButLeavesTheSequenceAlone) {
  Runtime rt = make_runtime();
  const std::uint64_t a = ok(rt.alloc(64, 1));
  const std::uint64_t b = ok(rt.alloc(64, 1));
  pin_once(rt, a);
  pin_once(rt, a);
  History h = history(rt, 2);
  EXPECT_EQ(h.last, a);
  EXPECT_EQ(h.prev, std::nullopt);
  EXPECT_TRUE(h.transitions.empty());
  EXPECT_EQ(h.next[0], std::nullopt) << "a buffer is not its own successor";

  pin_once(rt, b);
  const History after_first = history(rt, 2);
  pin_once(rt, b, true);
  pin_once(rt, b);
  EXPECT_EQ(history(rt, 2), after_first);
  EXPECT_EQ(after_first.last, b);
  EXPECT_EQ(after_first.prev, a);
  EXPECT_EQ(after_first.next[0], b);

  const Stats st = rt.stats();
  EXPECT_EQ(st.pins, 5u);
  Guard g = rt.shared()->lock();
  EXPECT_EQ(g->tick, 5u);
  EXPECT_EQ(g->bufs.at(a).uses, 2u);
  EXPECT_EQ(g->bufs.at(b).uses, 3u);
  ASSERT_EQ(g->trace.size(), 5u);
  const std::uint64_t want[] = {a, a, b, b, b};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(g->trace[i].id, want[i]) << i;
}

TEST(PinHistory, SequenceRecordsSuccessorsAndTransitions) {
  Runtime rt = make_runtime();
  const std::uint64_t a = ok(rt.alloc(64, 1));
  const std::uint64_t b = ok(rt.alloc(64, 1));
  const std::uint64_t c = ok(rt.alloc(64, 1));
  for (std::uint64_t id : {a, b, c, a}) pin_once(rt, id);
  const History h = history(rt, 3);
  EXPECT_EQ(h.next[a - 1], b);
  EXPECT_EQ(h.next[b - 1], c);
  EXPECT_EQ(h.next[c - 1], a);
  EXPECT_EQ(h.last, a);
  EXPECT_EQ(h.prev, c);
  using T = std::pair<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t>;
  const std::vector<T> want = {{{a, b}, c}, {{b, c}, a}};
  EXPECT_EQ(h.transitions, want);
  {
    Guard g = rt.shared()->lock();
    ASSERT_EQ(g->trace.size(), 4u);
    const std::uint64_t ids[] = {a, b, c, a};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(g->trace[i].id, ids[i]) << i;
    for (std::size_t i = 1; i < 4; ++i) EXPECT_GE(g->trace[i].at, g->trace[i - 1].at);
    for (const Trace& t : g->trace) EXPECT_GE(t.seconds, 0.0);
  }
  // A freed buffer leaves no transition naming it behind.
  ok(rt.free(b));
  EXPECT_TRUE(history(rt, 3).transitions.empty());
}

TEST(PinHistory, IntervalIsTheSmoothedGapInTicks) {
  Runtime rt = make_runtime();
  const std::uint64_t a = ok(rt.alloc(64, 1));
  const std::uint64_t b = ok(rt.alloc(64, 1));
  auto buf = [&](std::uint64_t id) {
    Guard g = rt.shared()->lock();
    return std::make_pair(g->bufs.at(id).interval, g->bufs.at(id).tick);
  };
  pin_once(rt, a);  // tick 1
  EXPECT_EQ(buf(a), std::make_pair(0.0, std::uint64_t{1}));
  pin_once(rt, b);  // tick 2
  pin_once(rt, a);  // tick 3
  EXPECT_EQ(buf(a), std::make_pair(2.0, std::uint64_t{3}));
  for (int i = 0; i < 5; ++i) pin_once(rt, b);  // ticks 4..8
  pin_once(rt, a, true);                        // tick 9, a write pin counts alike
  EXPECT_EQ(buf(a), std::make_pair(4.0, std::uint64_t{9}));
  // b: gaps 2, 1, 1, 1, 1.
  EXPECT_DOUBLE_EQ(buf(b).first, 1.0625);
  EXPECT_EQ(buf(b).second, 8u);
}

TEST(PinHistory, WritePinsAreNonStrictAndMarkTheBuffer) {
  Runtime rt = make_runtime();
  const std::uint64_t id = ok(rt.alloc(3 * kPage, 4));
  const std::uint64_t other = ok(rt.alloc(kPage, 4));
  auto flags = [&](std::uint64_t x) {
    Guard g = rt.shared()->lock();
    const Buf& b = g->bufs.at(x);
    return std::make_tuple(b.pins, b.written, b.ratio, b.incompressible);
  };
  {
    Guard g = rt.shared()->lock();
    for (std::uint64_t x : {id, other}) {
      g->bufs.at(x).ratio = 3.5;
      g->bufs.at(x).incompressible = true;
    }
  }
  pin_once(rt, other);  // a read pin changes none of them
  EXPECT_EQ(flags(other), std::make_tuple(0u, false, std::optional<double>(3.5), true));

  Pin r1 = ok(rt.pin(id, false));
  EXPECT_EQ(flags(id), std::make_tuple(1u, false, std::optional<double>(3.5), true));
  auto wr = rt.pin(id, true);
  ASSERT_TRUE(wr) << err(wr);
  std::optional<Pin> w(std::move(*wr));
  EXPECT_TRUE(w->write());
  EXPECT_FALSE(w->strict());
  EXPECT_EQ(w->ptr(), r1.ptr());
  EXPECT_EQ(flags(id), std::make_tuple(2u, true, std::optional<double>(), false));
  std::memset(w->ptr(), 0x5A, 3 * kPage);
  {
    Pin moved(std::move(*w));  // the moved-from pin no longer unpins
    EXPECT_EQ(moved.id(), id);
    EXPECT_EQ(std::get<0>(flags(id)), 2u);
  }
  EXPECT_EQ(std::get<0>(flags(id)), 1u);
  EXPECT_EQ(r1.ptr()[3 * kPage - 1], std::byte{0x5A});
  w.reset();
  EXPECT_EQ(std::get<0>(flags(id)), 1u);
  {
    Pin r2 = ok(rt.pin(id, false));
    EXPECT_EQ(std::get<0>(flags(id)), 2u);
  }
  EXPECT_EQ(std::get<0>(flags(id)), 1u);
  // `written` stays once set; a later read pin does not clear it.
  EXPECT_TRUE(std::get<1>(flags(id)));
}

TEST(PinHistory, PinKeepsTheStateAliveAfterTheRuntimeIsGone) {
  std::optional<Runtime> rt(make_runtime());
  const std::uint64_t id = ok(rt->alloc(2 * kPage + 8, 8));
  std::weak_ptr<Shared> state = rt->shared();
  std::optional<Pin> p(ok(rt->pin(id, true)));
  fill(p->ptr(), p->nbytes(), 5);
  rt.reset();
  ASSERT_FALSE(state.expired());
  {
    auto s = state.lock();
    EXPECT_TRUE(s->lock()->stop);
    EXPECT_EQ(s->lock()->bufs.at(id).pins, 1u);
  }
  // Still readable and writable through the pin.
  std::vector<std::byte> want(p->nbytes());
  fill(want.data(), want.size(), 5);
  EXPECT_EQ(std::memcmp(p->ptr(), want.data(), want.size()), 0);
  std::memset(p->ptr(), 0x11, p->nbytes());
  EXPECT_EQ(p->ptr()[p->nbytes() - 1], std::byte{0x11});
  p.reset();
  EXPECT_TRUE(state.expired());
}

}  // namespace
}  // namespace pelorin::rt
