// Derived buffers and backing files at the core's level: path keys, and threads that meet
// on a buffer while it is computed again.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "rt/lineage.h"
#include "rt/runtime.h"
#include "rt_testing.h"

namespace pelorin::rt {
namespace {

using namespace test;

TEST(PathKey, SameFileSameKey) {
  struct Case {
    const char* path;
    const char* key;
  };
  const Case cases[] = {
      {"/a/b", "/a/b"},   {"/a//b", "/a/b"}, {"/a/b/", "/a/b"}, {"/a/./b", "/a/b"},
      {"/a/b/.", "/a/b"}, {"a/b", "a/b"},    {"./a", "./a"},    {"a/./b//", "a/b"},
      {"/a/../b", "/a/../b"}, {"/", "/"},    {"//", "/"},       {".", "."},
  };
  for (const Case& c : cases) EXPECT_EQ(path_key(c.path), c.key) << c.path;
}

// Fills the output with a byte per input byte sum plus `add`, counting its calls.
struct Summing final : LineageFunc {
  explicit Summing(std::uint8_t add, std::atomic<int>* calls) : add(add), calls(calls) {}
  Result<void> compute(InputSlices inputs, std::span<std::byte> out) override {
    calls->fetch_add(1);
    for (std::size_t i = 0; i < out.size(); ++i) {
      std::uint8_t v = add;
      for (auto in : inputs) v = static_cast<std::uint8_t>(v + static_cast<std::uint8_t>(in[i]));
      out[i] = static_cast<std::byte>(v);
    }
    return {};
  }
  std::uint8_t add;
  std::atomic<int>* calls;
};

TEST(Derived, ThreadsMeetingOnADroppedBufferComputeItOnce) {
  Runtime rt = make_runtime();
  constexpr std::uint64_t n = 8 * kMiB;
  const std::uint64_t a = ok(rt.alloc(n, 1));
  {
    Pin p = ok(rt.pin(a, true));
    std::memset(p.ptr(), 3, n);
  }
  std::atomic<int> calls{0};
  const std::uint64_t d = ok(rt.derive({a, a}, n, 1, std::make_shared<Summing>(1, &calls)));
  const std::uint64_t e = ok(rt.derive({d}, n, 1, std::make_shared<Summing>(0, &calls)));
  for (int round = 0; round < 4; ++round) {
    ASSERT_TRUE(ok(rt.evict(e)));
    ASSERT_TRUE(ok(rt.evict(d)));
    calls = 0;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        Pin p = ok(rt.pin(t % 2 ? e : d, false));
        for (std::uint64_t i = 0; i < n; i += 4096)
          if (p.ptr()[i] != std::byte{7}) wrong.fetch_add(1);
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(calls.load(), 2);  // d once, e once, however the threads met
  }
  EXPECT_EQ(rt.stats().recomputes, 8u);
}

// A callback whose own destruction needs the runtime: it must never be dropped while the
// runtime's mutex is held, or this would deadlock.
struct NeedsRuntime final : LineageFunc {
  explicit NeedsRuntime(std::function<void()> on_drop) : on_drop(std::move(on_drop)) {}
  ~NeedsRuntime() override { on_drop(); }
  Result<void> compute(InputSlices, std::span<std::byte> out) override {
    std::memset(out.data(), 1, out.size());
    return {};
  }
  std::function<void()> on_drop;
};

TEST(Derived, CallbacksGoWithTheMutexFree) {
  Runtime rt = make_runtime();
  int dropped = 0;
  auto make = [&] {
    return std::make_shared<NeedsRuntime>([&] {
      (void)rt.stats();  // takes the mutex
      ++dropped;
    });
  };
  const std::uint64_t a = ok(rt.alloc(4096, 1));
  const std::uint64_t by_free = ok(rt.derive({a}, 4096, 1, make()));
  const std::uint64_t by_write = ok(rt.derive({a}, 4096, 1, make()));
  const std::uint64_t by_input = ok(rt.derive({a}, 4096, 1, make()));
  ok(rt.free(by_free));
  EXPECT_EQ(dropped, 1);
  { Pin p = ok(rt.pin(by_write, true)); }
  EXPECT_EQ(dropped, 2);
  { Pin p = ok(rt.pin(a, true)); }  // detaches the last dependent
  EXPECT_EQ(dropped, 3);
  EXPECT_EQ(ok(rt.state(by_input)), State::Resident);
}

}  // namespace
}  // namespace pelorin::rt
