// Several threads pinning, writing, evicting, freeing and allocating buffers that together
// are four times the budget, so compression and restores run all the time and race with
// pins. Every byte read back is checked against the version last written. Meant to be run
// under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "rt/pin.h"
#include "rt/runtime.h"

namespace pelorin::rt {
namespace {

constexpr std::uint64_t kMiB = 1048576;
constexpr std::uint64_t kBudget = 32 * kMiB;
constexpr std::uint64_t kBufBytes = 8 * kMiB;
constexpr std::uint64_t kElem = 4;
constexpr int kSlots = 16;  // 128 MiB of buffers
constexpr int kThreads = 4;
#if defined(__SANITIZE_THREAD__)
constexpr int kOpsPerThread = 60;
#else
constexpr int kOpsPerThread = 400;
#endif
constexpr auto kWatchdog = std::chrono::seconds(120);

// Word `i` of the content of buffer `id` at `version`; version 0 is a new, zeroed buffer.
// Compressible (a counter from a per-version start) and different for every id and version.
std::uint32_t word(std::uint64_t id, std::uint32_t version, std::uint64_t i) {
  if (version == 0) return 0;
  const std::uint32_t base =
      static_cast<std::uint32_t>(id * 0x9E3779B1u) ^ (version * 0x85EBCA77u);
  return base + static_cast<std::uint32_t>(i);
}

void write_content(std::byte* p, std::uint64_t n, std::uint64_t id, std::uint32_t version) {
  for (std::uint64_t i = 0; i < n / 4; ++i) {
    const std::uint32_t w = word(id, version, i);
    std::memcpy(p + 4 * i, &w, 4);
  }
}

// Empty when all words match, else a description of the first mismatch.
std::string check_content(const std::byte* p, std::uint64_t n, std::uint64_t id,
                          std::uint32_t version) {
  for (std::uint64_t i = 0; i < n / 4; ++i) {
    std::uint32_t w;
    std::memcpy(&w, p + 4 * i, 4);
    if (w != word(id, version, i)) {
      std::uint32_t found_version = 0;
      // Which version is it, if any nearby one?
      for (std::uint32_t v = version > 8 ? version - 8 : 0; v <= version + 8; ++v)
        if (w == word(id, v, i)) found_version = v + 1;
      return "buffer " + std::to_string(id) + " version " + std::to_string(version) +
             ": word " + std::to_string(i) + " is " + std::to_string(w) + ", expected " +
             std::to_string(word(id, version, i)) +
             (found_version ? " (matches version " + std::to_string(found_version - 1) + ")"
                            : "");
    }
  }
  return "";
}

struct Slot {
  std::shared_mutex mu;  // shared: reading its content or evicting; unique: writing, freeing
  std::optional<std::uint64_t> id;  // guarded by mu; empty after a refused re-allocation
  std::uint32_t version = 0;        // guarded by mu
};

struct Counters {
  std::atomic<std::uint64_t> reads{0}, writes{0}, evicts{0}, frees{0}, allocs{0}, stats{0};
  std::atomic<std::uint64_t> refused{0}, ops{0}, failures{0};
};

// Aborts the process when the test has not finished in time: a hang is a failure too.
class Watchdog {
 public:
  Watchdog() : thread_([this] {
    std::unique_lock<std::mutex> l(mu_);
    if (!cv_.wait_for(l, kWatchdog, [this] { return done_; })) {
      std::fprintf(stderr, "stress: not finished after %lld s; aborting\n",
                   static_cast<long long>(kWatchdog.count()));
      std::abort();
    }
  }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> l(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

class Worker {
 public:
  Worker(const Runtime& rt, std::vector<Slot>& slots, Counters& c, unsigned seed)
      : rt_(rt), slots_(slots), c_(c), rng_(seed) {}

  void run() {
    for (int op = 0; op < kOpsPerThread; ++op) {
      Slot& slot = slots_[rng_() % slots_.size()];
      const unsigned kind = rng_() % 100;
      c_.ops.fetch_add(1);
      if (kind < 40)
        read(slot);
      else if (kind < 65)
        write(slot);
      else if (kind < 77)
        evict(slot);
      else if (kind < 87)
        replace(slot);
      else
        look();
    }
  }

 private:
  void failure(const std::string& what) {
    c_.failures.fetch_add(1);
    ADD_FAILURE() << what;
  }

  // A refusal because the other threads hold the memory is fine; anything else is not.
  bool refused(const Error& e, const char* what) {
    if (e.kind() == Error::Kind::Budget) {
      c_.refused.fetch_add(1);
      return true;
    }
    failure(std::string(what) + ": " + e.display());
    return false;
  }

  // With the slot locked uniquely: gives it a buffer again if its last allocation failed.
  bool ensure(Slot& slot) {
    if (slot.id) return true;
    auto id = rt_.alloc(kBufBytes, kElem);
    if (!id) {
      refused(id.error(), "alloc");
      return false;
    }
    c_.allocs.fetch_add(1);
    slot.id = *id;
    slot.version = 0;
    return true;
  }

  void read(Slot& slot) {
    {
      std::shared_lock<std::shared_mutex> l(slot.mu);
      if (slot.id) {
        auto p = rt_.pin(*slot.id, false);
        if (!p) {
          refused(p.error(), "read pin");
          return;
        }
        c_.reads.fetch_add(1);
        if (p->nbytes() != kBufBytes) failure("pinned length " + std::to_string(p->nbytes()));
        if (auto bad = check_content(p->ptr(), kBufBytes, *slot.id, slot.version); !bad.empty())
          failure(bad);
        return;
      }
    }
    std::unique_lock<std::shared_mutex> l(slot.mu);
    ensure(slot);
  }

  void write(Slot& slot) {
    std::unique_lock<std::shared_mutex> l(slot.mu);
    if (!ensure(slot)) return;
    auto p = rt_.pin(*slot.id, true);
    if (!p) {
      refused(p.error(), "write pin");
      return;
    }
    c_.writes.fetch_add(1);
    // The old content must still be there when the write begins.
    if (rng_() % 4 == 0) {
      if (auto bad = check_content(p->ptr(), kBufBytes, *slot.id, slot.version); !bad.empty())
        failure("before write: " + bad);
    }
    slot.version += 1;
    write_content(p->ptr(), kBufBytes, *slot.id, slot.version);
  }

  void evict(Slot& slot) {
    std::shared_lock<std::shared_mutex> l(slot.mu);
    if (!slot.id) return;
    auto r = rt_.evict(*slot.id);
    if (!r) {
      failure("evict: " + r.error().display());
      return;
    }
    c_.evicts.fetch_add(1);
  }

  void replace(Slot& slot) {
    std::unique_lock<std::shared_mutex> l(slot.mu);
    if (slot.id) {
      if (auto r = rt_.free(*slot.id); !r) {
        failure("free: " + r.error().display());
        return;
      }
      c_.frees.fetch_add(1);
      slot.id.reset();
    }
    ensure(slot);
  }

  void look() {
    const Stats st = rt_.stats();
    c_.stats.fetch_add(1);
    const std::uint64_t limit = rt_.limit();
    if (st.used > limit || st.peak_used > limit)
      failure("used " + std::to_string(st.used) + " / peak " + std::to_string(st.peak_used) +
              " beyond the limit " + std::to_string(limit));
    if (st.buffers > static_cast<std::uint64_t>(kSlots))
      failure("buffers " + std::to_string(st.buffers));
    if (st.pinned_bytes > st.resident_bytes) failure("pinned bytes beyond resident bytes");
    if (st.resident_bytes + st.compressed_bytes > st.used)
      failure("resident and compressed bytes beyond used");
  }

  const Runtime& rt_;
  std::vector<Slot>& slots_;
  Counters& c_;
  std::mt19937 rng_;
};

TEST(Stress, ThreadsShareBuffersFourTimesTheBudget) {
  Watchdog watchdog;
  Options o;
  o.budget = kBudget;
  auto made = Runtime::create(o);
  ASSERT_TRUE(made) << made.error().display();
  const Runtime rt = std::move(*made);

  std::vector<Slot> slots(kSlots);
  for (Slot& s : slots) {
    auto id = rt.alloc(kBufBytes, kElem);
    ASSERT_TRUE(id) << id.error().display();
    s.id = *id;
    s.version = 1;
    auto p = rt.pin(*id, true);
    ASSERT_TRUE(p) << p.error().display();
    write_content(p->ptr(), kBufBytes, *id, 1);
  }
  ASSERT_GE(rt.stats().compressions, static_cast<std::uint64_t>(kSlots - 3));

  Counters c;
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] { Worker(rt, slots, c, 1000u + 17u * t).run(); });
    for (auto& t : threads) t.join();
  }

  EXPECT_EQ(c.failures.load(), 0u);
  EXPECT_EQ(c.ops.load(), static_cast<std::uint64_t>(kThreads * kOpsPerThread));
  EXPECT_LT(2 * c.refused.load(), c.ops.load()) << "most operations were refused";
  EXPECT_GT(c.reads.load() + c.writes.load(), c.ops.load() / 3);
  // The service thread may still be bringing back what the last pins predicted; its
  // reservation is in `used` until that restore ends.
  Stats st = rt.stats();
  for (int i = 0; i < 1000 && st.used != st.resident_bytes + st.compressed_bytes; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    st = rt.stats();
  }
  EXPECT_GT(st.compressions, 0u);
  EXPECT_GT(st.decompressions, 0u);
  EXPECT_GE(st.refusals, c.refused.load());
  EXPECT_EQ(st.used, st.resident_bytes + st.compressed_bytes);
  EXPECT_EQ(st.pinned_bytes, 0u);
  EXPECT_LE(st.peak_used, rt.limit());

  // Quiet again: every buffer holds what was last written to it, and freeing empties it.
  std::uint64_t live = 0;
  for (Slot& s : slots) {
    if (!s.id) continue;
    ++live;
    auto p = rt.pin(*s.id, false);
    ASSERT_TRUE(p) << p.error().display();
    EXPECT_EQ(check_content(p->ptr(), kBufBytes, *s.id, s.version), "");
  }
  EXPECT_EQ(rt.stats().buffers, live);
  for (Slot& s : slots)
    if (s.id) {
      auto r = rt.free(*s.id);
      EXPECT_TRUE(r) << r.error().display();
    }
  EXPECT_EQ(rt.stats().used, 0u);
  EXPECT_EQ(rt.stats().buffers, 0u);
  std::printf("stress: %llu reads, %llu writes, %llu evicts, %llu frees, %llu allocs, %llu "
              "stats, %llu refused; %llu compressions, %llu decompressions\n",
              static_cast<unsigned long long>(c.reads.load()),
              static_cast<unsigned long long>(c.writes.load()),
              static_cast<unsigned long long>(c.evicts.load()),
              static_cast<unsigned long long>(c.frees.load()),
              static_cast<unsigned long long>(c.allocs.load()),
              static_cast<unsigned long long>(c.stats.load()),
              static_cast<unsigned long long>(c.refused.load()),
              static_cast<unsigned long long>(st.compressions),
              static_cast<unsigned long long>(st.decompressions));
}

}  // namespace
}  // namespace pelorin::rt
