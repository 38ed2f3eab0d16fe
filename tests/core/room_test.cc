// Making room: compression of unpinned buffers when the budget is reached, restoring them
// on the next pin, refusals, victim choice, and the failure paths of compression.
#include <gtest/gtest.h>
#include <zstd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rt/internal.h"
#include "rt/runtime.h"
#include "rt_testing.h"

namespace pelorin::rt {
namespace {

using namespace test;
constexpr std::uint64_t kChunk = 4 * kMiB;
constexpr std::uint64_t kHeadroom = 4210688;
constexpr std::uint64_t kSmallBudget = 16 * kMiB;  // limit 12566528 bytes, 11.98 MiB

using Bytes = std::vector<std::byte>;

// Compressible content, different for every seed and every 4-byte word.
Bytes smooth(std::uint64_t n, std::uint32_t seed) {
  Bytes v(n);
  for (std::uint64_t i = 0; i + 4 <= n; i += 4) {
    const std::uint32_t w = (seed << 24) ^ static_cast<std::uint32_t>(i / 4);
    std::memcpy(&v[i], &w, 4);
  }
  for (std::uint64_t i = n / 4 * 4; i < n; ++i) v[i] = static_cast<std::byte>(seed + i);
  return v;
}

Bytes random_bytes(std::uint64_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes v(n);
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t x = rng();
    std::memcpy(&v[i], &x, 8);
  }
  for (; i < n; ++i) v[i] = static_cast<std::byte>(rng());
  return v;
}

// 4-byte elements whose two low bytes are random and two high bytes zero: about half of
// it compresses away.
Bytes half_random(std::uint64_t n, std::uint64_t seed) {
  Bytes v = random_bytes(n, seed);
  for (std::uint64_t i = 0; i + 4 <= n; i += 4) v[i + 2] = v[i + 3] = std::byte{0};
  return v;
}

// A new buffer holding `content`, written through a write pin.
std::uint64_t make_buffer(const Runtime& rt, const Bytes& content, std::uint64_t elem = 4) {
  const std::uint64_t id = ok(rt.alloc(content.size(), elem));
  Pin p = ok(rt.pin(id, true));
  std::memcpy(p.ptr(), content.data(), content.size());
  return id;
}

// Empty when the buffer's bytes equal `want`, else where they first differ.
std::string differs(const Runtime& rt, std::uint64_t id, const Bytes& want) {
  auto p = rt.pin(id, false);
  if (!p) return "pin failed: " + p.error().display();
  if (p->nbytes() != want.size()) return "length " + std::to_string(p->nbytes());
  if (std::memcmp(p->ptr(), want.data(), want.size()) == 0) return "";
  for (std::uint64_t i = 0; i < want.size(); ++i)
    if (p->ptr()[i] != want[i]) return "first difference at byte " + std::to_string(i);
  return "?";
}

std::string state_of(const Runtime& rt, std::uint64_t id) {
  auto s = rt.state(id);
  return s ? state_name(*s) : s.error().display();
}

Stats check_accounting(const Runtime& rt) {
  const Stats st = rt.stats();
  EXPECT_EQ(st.used, st.resident_bytes + st.compressed_bytes);
  EXPECT_LE(st.used, rt.limit());
  EXPECT_LE(st.peak_used, rt.limit());
  return st;
}

TEST(Room, CompressesUnpinnedBuffersAndRestoresThemExactly) {
  Runtime rt = make_runtime(kSmallBudget);
  ASSERT_EQ(rt.limit(), kSmallBudget - kHeadroom);
  std::vector<Bytes> want;
  std::vector<std::uint64_t> ids;
  for (std::uint32_t i = 0; i < 4; ++i) {
    want.push_back(smooth(5 * kMiB + 4 * i, i + 1));
    ids.push_back(make_buffer(rt, want.back()));
    check_accounting(rt);
  }
  // 20 MiB of buffers in 11.98 MiB: at most two are resident.
  Stats st = check_accounting(rt);
  EXPECT_GE(st.compressions, 2u);
  EXPECT_EQ(st.evictions, st.compressions);
  EXPECT_EQ(st.decompressions, 0u);
  EXPECT_EQ(st.refusals, 0u);
  int packed = 0;
  for (std::uint64_t id : ids) packed += state_of(rt, id) == "compressed";
  EXPECT_GE(packed, 2);
  EXPECT_GT(st.compress_in, st.compress_out);
  EXPECT_GE(st.compress_in, st.compressions * 5 * kMiB) << "compress_in counts whole buffers";

  // Every buffer comes back exactly, twice round, and each restore is counted once.
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const Stats before = rt.stats();
      const bool was_packed = state_of(rt, ids[i]) == "compressed";
      EXPECT_EQ(differs(rt, ids[i], want[i]), "") << "buffer " << i << " round " << round;
      EXPECT_EQ(state_of(rt, ids[i]), "resident");
      const Stats after = check_accounting(rt);
      EXPECT_EQ(after.decompressions, before.decompressions + (was_packed ? 1 : 0));
      EXPECT_EQ(after.refusals, 0u);
    }
  }
  EXPECT_GT(rt.stats().decompress_bytes, 0u);
}

TEST(Room, RequestsBeyondTheLimitFailAtOnce) {
  struct Case {
    std::uint64_t nbytes, elem;
    const char* error;  // nullptr: accepted
  };
  const std::uint64_t limit = kSmallBudget - kHeadroom;
  const Case cases[] = {
      // Fits once the other buffer is compressed.
      {limit - kMiB, 1, nullptr},
      {limit - 2 * kMiB + 1, 1, nullptr},
      {limit + 1, 1,
       "budget exceeded: one buffer needs 11.99 MiB, more than the budget 16.00 MiB minus the "
       "runtime's 4.02 MiB headroom"},
      {16 * kMiB, 4,
       "budget exceeded: one buffer needs 16.00 MiB, more than the budget 16.00 MiB minus the "
       "runtime's 4.02 MiB headroom"},
      {1ull << 40, 8,
       "budget exceeded: one buffer needs 1048576.00 MiB, more than the budget 16.00 MiB minus "
       "the runtime's 4.02 MiB headroom"},
      {1ull << 63, 16,
       "budget exceeded: one buffer needs 8796093022208.00 MiB, more than the budget 16.00 MiB "
       "minus the runtime's 4.02 MiB headroom"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nbytes);
    Runtime rt = make_runtime(kSmallBudget);
    // Compressible buffers that could be compressed: a refusal must not touch them.
    const Bytes content = smooth(3 * kMiB, 7);
    const std::uint64_t resident = make_buffer(rt, content);
    auto r = rt.alloc(c.nbytes, c.elem);
    const Stats st = rt.stats();
    if (c.error == nullptr) {
      // The room for it came from compressing the other buffer.
      EXPECT_TRUE(r) << err(r);
      EXPECT_EQ(st.refusals, 0u);
      EXPECT_EQ(state_of(rt, resident), "compressed");
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), Error::Kind::Budget);
      EXPECT_EQ(r.error().display(), c.error);
      EXPECT_EQ(st.refusals, 1u);
      EXPECT_EQ(st.compressions, 0u);
      EXPECT_EQ(st.buffers, 1u);
      EXPECT_EQ(state_of(rt, resident), "resident");
    }
    EXPECT_EQ(differs(rt, resident, content), "");
  }
  // Into an empty runtime exactly the limit fits, counted in whole pages.
  for (std::uint64_t nbytes : {limit, limit - kPage + 1}) {
    Runtime rt = make_runtime(kSmallBudget);
    auto r = rt.alloc(nbytes, 1);
    EXPECT_TRUE(r) << nbytes << ": " << err(r);
    EXPECT_EQ(rt.stats().used, limit);
  }
}

// Sizes so close to 2^64 that rounding them up to whole pages wraps around.
TEST(Room, RequestsThatWrapWhenRoundedAreBudgetRefusals) {
  for (std::uint64_t nbytes : {~std::uint64_t{0}, ~std::uint64_t{0} - 15}) {
    SCOPED_TRACE(nbytes);
    Runtime rt = make_runtime(kSmallBudget);
    auto r = rt.alloc(nbytes, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), Error::Kind::Budget) << r.error().display();
    EXPECT_EQ(r.error().display().rfind("budget exceeded: one buffer needs ", 0), 0u)
        << r.error().display();
    EXPECT_EQ(rt.stats().refusals, 1u);
    EXPECT_EQ(rt.stats().buffers, 0u);
  }
}

TEST(Room, ProcessBudgetNamesWhatTheProcessHoldsOutside) {
  // Memory of this process the runtime does not account: at least 16 MiB, touched.
  std::vector<char> outside(16 * kMiB);
  for (std::size_t i = 0; i < outside.size(); i += kPage) outside[i] = 1;
  Options o;
  o.budget = kSmallBudget;
  o.process_budget = 8421376;
  o.prefetch = false;
  Runtime rt = ok(Runtime::create(o));
  auto r = rt.alloc(kMiB, 4);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::Budget);
  const std::string text = r.error().display();
  const std::string head =
      "budget exceeded: one buffer needs 1.00 MiB, more than the 0.00 MiB left of the process "
      "budget 8.03 MiB: the process holds ";
  const std::string tail = " MiB outside the runtime";
  ASSERT_EQ(text.rfind(head, 0), 0u) << text;
  ASSERT_GT(text.size(), head.size() + tail.size()) << text;
  ASSERT_EQ(text.substr(text.size() - tail.size()), tail) << text;
  const double held = std::stod(text.substr(head.size(), text.size() - head.size() - tail.size()));
  EXPECT_GE(held, 16.0) << text;
  const Stats st = rt.stats();
  EXPECT_EQ(st.refusals, 1u);
  EXPECT_GE(st.outside_peak, 16 * kMiB);
  EXPECT_EQ(st.buffers, 0u);
  EXPECT_GT(outside[kPage], 0);

  // A process budget with room to spare takes nothing from the plain limit.
  o.process_budget = 1ull << 40;
  Runtime roomy = ok(Runtime::create(o));
  EXPECT_TRUE(roomy.alloc(kSmallBudget - kHeadroom, 1));
}

TEST(Room, EverythingPinnedIsRefusedWithTheFigures) {
  Runtime rt = make_runtime(kSmallBudget);
  const std::uint64_t a = ok(rt.alloc(6 * kMiB, 4));
  const std::uint64_t b = ok(rt.alloc(5 * kMiB, 4));
  {
    Pin pa = ok(rt.pin(a, false));
    Pin pb = ok(rt.pin(b, false));
    for (int attempt = 1; attempt <= 2; ++attempt) {
      auto r = rt.alloc(4 * kMiB, 4);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), Error::Kind::Budget);
      EXPECT_EQ(r.error().display(),
                "budget exceeded: need 4.00 MiB more, 11.00 MiB of 11.98 MiB in use (11.00 MiB "
                "pinned, 0.00 MiB that cannot be dropped or compressed further); unpin buffers "
                "or raise the budget");
      EXPECT_EQ(rt.stats().refusals, static_cast<std::uint64_t>(attempt));
    }
    EXPECT_EQ(rt.stats().compressions, 0u);
    EXPECT_EQ(rt.stats().used, 11 * kMiB);
  }
  // Unpinned, the zero-filled buffers compress and the same request fits.
  EXPECT_TRUE(rt.alloc(4 * kMiB, 4));
  EXPECT_GE(rt.stats().compressions, 1u);
  check_accounting(rt);
}

// Three buffers of equal size and content, so equal cost; `victim` is the one to go.
TEST(Room, PolicyChoosesTheVictim) {
  struct Case {
    Policy policy;
    int victim;  // 0: a, 1: b
  };
  // b is pinned at ticks 2-4 (every tick), a at ticks 5 and 15: b is the least recently
  // pinned, but by its rhythm due again at once; a was just used and not due for ten ticks.
  const Case cases[] = {{Policy::Lru, 1}, {Policy::Reuse, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.policy == Policy::Lru ? "lru" : "reuse");
    Runtime rt = make_runtime(kSmallBudget, c.policy);
    const Bytes content = smooth(4 * kMiB, 3);
    const std::uint64_t filler = ok(rt.alloc(kPage, 4));
    Pin hold = ok(rt.pin(filler, false));  // tick 1; pinned, so never a victim
    const std::uint64_t b = make_buffer(rt, content);  // tick 2
    { Pin p = ok(rt.pin(b, false)); }                  // tick 3
    { Pin p = ok(rt.pin(b, false)); }                  // tick 4
    const std::uint64_t a = make_buffer(rt, content);  // tick 5
    for (int i = 0; i < 9; ++i) Pin p = ok(rt.pin(filler, false));  // ticks 6-14
    { Pin p = ok(rt.pin(a, false)); }                              // tick 15
    {
      Guard g = rt.shared()->lock();
      EXPECT_EQ(g->tick, 15u);
      EXPECT_DOUBLE_EQ(g->bufs.at(b).interval, 1.0);
      EXPECT_DOUBLE_EQ(g->bufs.at(a).interval, 10.0);
    }
    // One compression makes room for it.
    ASSERT_TRUE(rt.alloc(4 * kMiB, 4));
    EXPECT_EQ(rt.stats().compressions, 1u);
    const std::uint64_t victim = c.victim == 0 ? a : b;
    const std::uint64_t kept = c.victim == 0 ? b : a;
    EXPECT_EQ(state_of(rt, victim), "compressed");
    EXPECT_EQ(state_of(rt, kept), "resident");
    EXPECT_EQ(differs(rt, victim, content), "");
  }
}

TEST(Room, PoorSavingsMarkABufferIncompressibleOnce) {
  struct Case {
    double min_saving;
    bool compressed;
  };
  // The half-random buffer saves about half of its bytes.
  const Case cases[] = {{0.3, true}, {0.7, false}, {0.0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.min_saving);
    Runtime rt = make_runtime(kSmallBudget, Policy::Reuse, c.min_saving);
    const std::uint64_t id = make_buffer(rt, half_random(8 * kMiB, 11));
    auto r = rt.alloc(6 * kMiB, 4);
    if (c.compressed) {
      EXPECT_TRUE(r) << err(r);
      EXPECT_EQ(state_of(rt, id), "compressed");
      EXPECT_EQ(rt.stats().incompressible, 0u);
      continue;
    }
    EXPECT_FALSE(r);
    {
      Guard g = rt.shared()->lock();
      Buf& b = g->bufs.at(id);
      EXPECT_TRUE(b.incompressible);
      ASSERT_TRUE(b.ratio);
      EXPECT_GT(*b.ratio, 1.5);
      EXPECT_LT(*b.ratio, 2.5);
      EXPECT_EQ(g->stats.incompressible, 1u);
      EXPECT_EQ(g->stats.compressions, 0u);
      // Forget the ratio: a probe would bring it back.
      b.ratio.reset();
    }
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(rt.alloc(6 * kMiB, 4));
    EXPECT_FALSE(ok(rt.evict(id)));
    {
      Guard g = rt.shared()->lock();
      EXPECT_FALSE(g->bufs.at(id).ratio) << "probed again";
      EXPECT_EQ(g->stats.incompressible, 1u) << "counted again";
      EXPECT_EQ(g->stats.refusals, 4u);
    }
    // Written again, it is looked at again.
    const Bytes smoother = smooth(8 * kMiB, 12);
    {
      Pin p = ok(rt.pin(id, true));
      std::memcpy(p.ptr(), smoother.data(), smoother.size());
    }
    EXPECT_TRUE(rt.alloc(6 * kMiB, 4));
    EXPECT_EQ(state_of(rt, id), "compressed");
    EXPECT_EQ(differs(rt, id, smoother), "");
  }
}

// An explicit evict that finds the buffer not worth compressing marks it like making room
// does: incompressible, counted once.
TEST(Room, EvictMarksAnIncompressibleFindingWithoutCountingIt) {
  Runtime rt = make_runtime(kSmallBudget);
  const std::uint64_t id = make_buffer(rt, random_bytes(2 * kMiB, 5));
  EXPECT_FALSE(ok(rt.evict(id)));
  EXPECT_FALSE(ok(rt.evict(id)));
  Guard g = rt.shared()->lock();
  EXPECT_TRUE(g->bufs.at(id).incompressible);
  // The counter is for what making room finds; an explicit evict only marks the buffer.
  EXPECT_EQ(g->stats.incompressible, 0u);
}

TEST(Room, RawStoredBufferRestoresAndIsThenIncompressible) {
  const std::uint64_t budget = 24 * kMiB;  // limit 19.98 MiB
  Runtime rt = make_runtime(budget);
  const std::uint64_t n = 2 * kChunk + 12;
  const Bytes content = random_bytes(n, 99);
  const std::uint64_t id = make_buffer(rt, content);
  {
    // Pretend an earlier look found it compressible, so evict goes ahead.
    Guard g = rt.shared()->lock();
    g->bufs.at(id).ratio = 4.0;
  }
  EXPECT_FALSE(ok(rt.evict(id))) << "storing it raw frees nothing";
  std::uint64_t stored = 0;
  {
    Guard g = rt.shared()->lock();
    const Buf& b = g->bufs.at(id);
    ASSERT_TRUE(b.packed());
    const Packed& p = std::get<Packed>(b.data);
    ASSERT_EQ(p.pieces.size(), 3u);
    for (const Piece& piece : p.pieces) {
      EXPECT_TRUE(piece.raw);
      EXPECT_EQ(piece.region.size(), piece.raw_len);
    }
    EXPECT_EQ(p.pieces[2].raw_len, 12u);
    stored = p.stored;
    EXPECT_GE(stored, n);
    ASSERT_TRUE(b.ratio);
    EXPECT_LE(*b.ratio, 1.0);
    EXPECT_EQ(g->used, stored);
  }
  EXPECT_EQ(state_of(rt, id), "compressed");
  EXPECT_EQ(differs(rt, id, content), "");
  EXPECT_EQ(state_of(rt, id), "resident");
  EXPECT_EQ(rt.stats().decompressions, 1u);
  EXPECT_EQ(rt.stats().used, 2 * kChunk + kPage);

  // Making room now knows better than to compress it, without probing it again.
  const std::string want =
      "budget exceeded: need 12.00 MiB more, 8.00 MiB of 19.98 MiB in use (0.00 MiB pinned, "
      "8.00 MiB that cannot be dropped or compressed further); unpin buffers or raise the "
      "budget";
  for (int attempt = 1; attempt <= 2; ++attempt) {
    auto r = rt.alloc(12 * kMiB, 4);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), want);
    Guard g = rt.shared()->lock();
    const Buf& b = g->bufs.at(id);
    EXPECT_TRUE(b.incompressible);
    ASSERT_TRUE(b.ratio);
    EXPECT_DOUBLE_EQ(*b.ratio, static_cast<double>(n) / static_cast<double>(stored));
    EXPECT_EQ(g->stats.incompressible, 1u);
    EXPECT_EQ(g->stats.refusals, static_cast<std::uint64_t>(attempt));
    EXPECT_EQ(g->stats.compressions, 1u);
  }
  EXPECT_EQ(differs(rt, id, content), "");
}

TEST(Room, EvictReportsWhetherMemoryWasFreed) {
  Runtime rt = make_runtime(64 * kMiB);
  const Bytes content = smooth(6 * kMiB, 21);
  const std::uint64_t id = make_buffer(rt, content);
  const std::uint64_t noise = make_buffer(rt, random_bytes(kMiB, 2));
  {
    Pin p = ok(rt.pin(id, false));
    EXPECT_FALSE(ok(rt.evict(id))) << "pinned";
    EXPECT_EQ(state_of(rt, id), "resident");
  }
  EXPECT_EQ(err(rt.evict(77)), "invalid argument: unknown buffer 77");
  EXPECT_EQ(rt.evict(77).error().kind(), Error::Kind::InvalidArgument);

  const std::uint64_t before = rt.stats().used;
  EXPECT_TRUE(ok(rt.evict(id)));
  EXPECT_EQ(state_of(rt, id), "compressed");
  Stats st = check_accounting(rt);
  EXPECT_LT(st.used, before);
  EXPECT_EQ(st.compressions, 1u);
  EXPECT_EQ(st.evictions, 1u);
  EXPECT_FALSE(ok(rt.evict(id))) << "already compressed";
  EXPECT_EQ(rt.stats().compressions, 1u);

  EXPECT_FALSE(ok(rt.evict(noise))) << "random bytes do not compress";
  EXPECT_EQ(state_of(rt, noise), "resident");

  EXPECT_EQ(differs(rt, id, content), "");
  EXPECT_EQ(rt.stats().used, before);
}

TEST(Room, ShortLastPieceRestoresExactly) {
  struct Case {
    std::uint64_t nbytes, elem;
    bool random;
    bool force;  // too small or too random to pass the probe: evict goes ahead anyway
  };
  const Case cases[] = {
      {2 * kChunk + 12, 4, false, false}, {2 * kChunk + 12, 4, true, true},
      {kChunk + 16, 16, false, false},    {kChunk + 2, 2, true, true},
      {kChunk + 1, 1, false, false},      {kChunk, 8, false, false},
      {12, 4, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.nbytes << "/" << c.elem << (c.random ? " random" : ""));
    Runtime rt = make_runtime(64 * kMiB);
    Bytes content = c.random ? random_bytes(c.nbytes, c.nbytes) : smooth(c.nbytes, 5);
    // A distinctive tail, so a lost or shifted last piece shows.
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(c.nbytes, 12); ++i)
      content[c.nbytes - 1 - i] = static_cast<std::byte>(0xC0 + i);
    const std::uint64_t id = make_buffer(rt, content, c.elem);
    if (c.force) rt.shared()->lock()->bufs.at(id).ratio = 4.0;
    EXPECT_EQ(ok(rt.evict(id)), !c.random && !c.force);
    {
      Guard g = rt.shared()->lock();
      const Buf& b = g->bufs.at(id);
      ASSERT_TRUE(b.packed());
      const Packed& p = std::get<Packed>(b.data);
      ASSERT_EQ(p.pieces.size(), (c.nbytes + kChunk - 1) / kChunk);
      std::uint64_t total = 0;
      for (const Piece& piece : p.pieces) total += piece.raw_len;
      EXPECT_EQ(total, c.nbytes);
      EXPECT_EQ(p.pieces.back().raw_len, c.nbytes - (p.pieces.size() - 1) * kChunk);
      EXPECT_EQ(g->used, p.stored);
    }
    EXPECT_EQ(differs(rt, id, content), "");
    EXPECT_EQ(rt.stats().used, (c.nbytes + kPage - 1) / kPage * kPage);
    check_accounting(rt);
  }
}

TEST(Room, ProbeLooksAtTheFirstMiBOnly) {
  const Bytes noise = random_bytes(8 * kMiB, 1);
  Bytes zeros_then_noise = noise;
  std::memset(zeros_then_noise.data(), 0, kMiB);
  const double head = probe_ratio(zeros_then_noise, 4, 1);
  EXPECT_GT(head, 100.0);
  EXPECT_EQ(head, probe_ratio(std::span(zeros_then_noise).first(kMiB), 4, 1));
  EXPECT_LE(probe_ratio(noise, 4, 1), 1.0);
  Bytes noise_then_zeros(8 * kMiB);
  std::memcpy(noise_then_zeros.data(), noise.data(), kMiB);
  EXPECT_LE(probe_ratio(noise_then_zeros, 4, 1), 1.0);
  // Less than one element cannot be told.
  EXPECT_EQ(probe_ratio(std::span(zeros_then_noise).first(3), 4, 1), 1.0);
  EXPECT_EQ(probe_ratio(std::span(zeros_then_noise).first(15), 16, 1), 1.0);
  EXPECT_EQ(probe_ratio(std::span<const std::byte>(), 1, 1), 1.0);
  // A partial element at the end is left out of the look.
  EXPECT_GT(probe_ratio(std::span(zeros_then_noise).first(4099), 4, 1), 1.0);

  // So making room compresses it, though most of it does not shrink.
  Runtime rt = make_runtime(64 * kMiB);
  const std::uint64_t id = make_buffer(rt, zeros_then_noise);
  EXPECT_TRUE(ok(rt.evict(id)));
  {
    Guard g = rt.shared()->lock();
    const Packed& p = std::get<Packed>(g->bufs.at(id).data);
    ASSERT_EQ(p.pieces.size(), 2u);
    EXPECT_FALSE(p.pieces[0].raw);
    EXPECT_TRUE(p.pieces[1].raw);
  }
  EXPECT_EQ(differs(rt, id, zeros_then_noise), "");
}

TEST(Room, PinDuringCompressionWaitsThenRestores) {
  Runtime rt = make_runtime(1ull << 30);
  const Bytes content = smooth(96 * kMiB, 17);
  const std::uint64_t id = make_buffer(rt, content);
  std::atomic<bool> seen_busy{false};
  std::string seen;
  std::thread reader([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      Guard g = rt.shared()->lock();
      if (g->bufs.at(id).busy) {
        seen_busy = true;
        break;
      }
    }
    seen = differs(rt, id, content);
  });
  // Let the reader start looking first.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const bool freed = ok(rt.evict(id));
  reader.join();
  EXPECT_TRUE(freed);
  ASSERT_TRUE(seen_busy) << "never saw the compression in progress";
  EXPECT_EQ(seen, "");
  EXPECT_EQ(state_of(rt, id), "resident");
  const Stats st = check_accounting(rt);
  EXPECT_EQ(st.compressions, 1u);
  EXPECT_EQ(st.decompressions, 1u);
  EXPECT_EQ(st.pins, 2u);
}

TEST(Room, InjectedCompressionFailureLeavesTheBufferIntact) {
  struct Case {
    int pieces;
    bool undo;
    bool random;
    const char* state;
  };
  const Case cases[] = {
      {0, false, false, "resident"},
      {1, false, false, "resident"},
      {2, false, false, "resident"},
      // An undo of nothing, or of raw pieces only, cannot fail.
      {0, true, false, "resident"},
      {2, true, true, "resident"},
      // Three pieces are all there is: the seam never fires, and clears itself.
      {3, false, false, "compressed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.pieces << (c.undo ? " undo" : "")
                                      << (c.random ? " random" : ""));
    Runtime rt = make_runtime(64 * kMiB);
    const Bytes content = c.random ? random_bytes(12 * kMiB, 4) : smooth(12 * kMiB, 4);
    const std::uint64_t id = make_buffer(rt, content);
    if (c.random) rt.shared()->lock()->bufs.at(id).ratio = 4.0;
    const std::uint64_t used = rt.stats().used;
    testing::fail_next_compression(c.pieces, c.undo);
    const bool freed = ok(rt.evict(id));
    EXPECT_EQ(state_of(rt, id), c.state);
    Stats st = check_accounting(rt);
    if (std::string(c.state) == "resident") {
      EXPECT_FALSE(freed);
      EXPECT_EQ(st.used, used);
      EXPECT_EQ(st.compressions, 0u);
      EXPECT_EQ(st.incompressible, 1u);
      EXPECT_TRUE(rt.shared()->lock()->bufs.at(id).incompressible);
      EXPECT_FALSE(ok(rt.evict(id))) << "not tried again until written";
    } else {
      EXPECT_TRUE(freed);
      EXPECT_EQ(st.compressions, 1u);
    }
    EXPECT_EQ(differs(rt, id, content), "");
    // The next compression is a normal one.
    { Pin p = ok(rt.pin(id, true)); }
    EXPECT_TRUE(ok(rt.evict(id)) || c.random);
    EXPECT_EQ(differs(rt, id, content), "");
  }
}

TEST(Room, FailedUndoNeverServesTheBuffer) {
  Runtime rt = make_runtime(64 * kMiB);
  const std::uint64_t other = make_buffer(rt, smooth(kMiB, 1));
  const std::uint64_t without = rt.stats().used;
  const Bytes content = smooth(12 * kMiB, 4);
  const std::uint64_t id = make_buffer(rt, content);
  testing::fail_next_compression(1, true);
  (void)rt.evict(id);
  for (int attempt = 0; attempt < 3; ++attempt) {
    for (bool write : {false, true}) {
      auto p = rt.pin(id, write);
      ASSERT_FALSE(p) << "a buffer whose bytes are gone was served";
      EXPECT_EQ(p.error().kind(), Error::Kind::Integrity);
      EXPECT_EQ(p.error().display().rfind(
                    "integrity check failed: could not undo compression: ", 0),
                0u)
          << p.error().display();
    }
  }
  EXPECT_NE(state_of(rt, id), "resident");
  EXPECT_FALSE(ok(rt.evict(id))) << "nothing left to free";
  Stats st = check_accounting(rt);
  EXPECT_EQ(st.used, without);
  EXPECT_EQ(st.pinned_bytes, 0u);
  // Making room goes on around it: this needs the other buffer compressed.
  EXPECT_TRUE(rt.alloc(rt.limit() - kMiB / 2, 4));
  EXPECT_EQ(state_of(rt, other), "compressed");
  ok(rt.free(id));
  EXPECT_EQ(err(rt.pin(id, false)), "invalid argument: unknown buffer " + std::to_string(id));
  EXPECT_EQ(differs(rt, other, smooth(kMiB, 1)), "");
  st = check_accounting(rt);
  EXPECT_EQ(st.buffers, 2u);
}

TEST(Room, DamagedPieceFailsTheIntegrityCheck) {
  Runtime rt = make_runtime(64 * kMiB);
  const Bytes content = smooth(9 * kMiB, 6);
  const std::uint64_t id = make_buffer(rt, content);
  ASSERT_TRUE(ok(rt.evict(id)));
  std::string zstd_error;
  std::uint64_t used = 0;
  {
    Guard g = rt.shared()->lock();
    Packed& p = std::get<Packed>(g->bufs.at(id).data);
    ASSERT_FALSE(p.pieces[0].raw);
    std::span<std::byte> piece = p.pieces[0].region.bytes();
    std::memset(piece.data(), 0xEE, 4);  // the frame's magic number
    Bytes out(kChunk);
    const std::size_t r = ZSTD_decompress(out.data(), out.size(), piece.data(), piece.size());
    ASSERT_TRUE(ZSTD_isError(r));
    zstd_error = ZSTD_getErrorName(r);
    used = g->used;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto p = rt.pin(id, attempt == 1);
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error().kind(), Error::Kind::Integrity);
    EXPECT_EQ(p.error().display(), "integrity check failed: compressed data is damaged: " + zstd_error);
    EXPECT_EQ(state_of(rt, id), "compressed");
    const Stats st = check_accounting(rt);
    EXPECT_EQ(st.used, used);
    EXPECT_EQ(st.decompressions, 0u);
    EXPECT_EQ(st.pinned_bytes, 0u);
    EXPECT_EQ(rt.shared()->lock()->bufs.at(id).pins, 0u);
  }
  ok(rt.free(id));
  EXPECT_EQ(rt.stats().used, 0u);
}

}  // namespace
}  // namespace pelorin::rt
