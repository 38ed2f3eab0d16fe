// Prediction of the next pins: what a recorded pin queues for the service thread.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "rt/internal.h"
#include "rt/lineage.h"
#include "rt/runtime.h"
#include "rt_testing.h"

namespace pelorin::rt {
namespace {

using namespace test;
using Queue = std::vector<std::pair<std::uint64_t, double>>;

// A runtime whose pins record history but whose queue nobody takes from: the test calls
// schedule() itself and reads the queue.
struct Scheduling : ::testing::Test {
  Runtime rt = make_runtime();

  std::uint64_t buffer(std::uint64_t nbytes = kMiB) {
    const std::uint64_t id = ok(rt.alloc(nbytes, 4));
    Pin p = ok(rt.pin(id, true));
    for (std::uint64_t i = 0; i < nbytes; i += 4) std::memcpy(p.ptr() + i, &i, 4);
    return id;
  }
  void pins(std::initializer_list<std::uint64_t> ids) {
    for (std::uint64_t id : ids) ok(rt.pin(id, false));
  }
  void compress(std::initializer_list<std::uint64_t> ids) {
    for (std::uint64_t id : ids) ASSERT_TRUE(ok(rt.evict(id)));
  }
  Queue queue_after(std::uint64_t id) {
    Guard g = rt.shared()->lock();
    g->queue.clear();
    g->queued.clear();
    schedule(*rt.shared(), *g, id);
    return {g->queue.begin(), g->queue.end()};
  }
};

TEST_F(Scheduling, ACycleQueuesWhatFollowsWithItsDistance) {
  const std::uint64_t a = buffer(), b = buffer(), c = buffer();
  pins({a, b, c, a});
  compress({b, c});
  EXPECT_EQ(queue_after(a), (Queue{{b, 1.0}, {c, 2.0}}));
  pins({b});  // b is resident now: only c is still to bring back
  pins({c, a});
  compress({c});
  EXPECT_EQ(queue_after(a), (Queue{{c, 2.0}}));
}

TEST_F(Scheduling, AQueuedBufferIsNotQueuedTwice) {
  const std::uint64_t a = buffer(), b = buffer();
  pins({a, b, a});
  compress({b});
  Guard g = rt.shared()->lock();
  g->queue.clear();
  g->queued.clear();
  schedule(*rt.shared(), *g, a);
  schedule(*rt.shared(), *g, a);
  EXPECT_EQ(Queue(g->queue.begin(), g->queue.end()), (Queue{{b, 1.0}}));
}

TEST_F(Scheduling, ThePredictionStopsAtTheWindow) {
  Options o;
  o.budget = 1ull << 30;
  o.prefetch = false;
  o.lookahead = 1;  // one predicted buffer fills the window
  rt = ok(Runtime::create(o));
  const std::uint64_t a = buffer(), b = buffer(), c = buffer();
  pins({a, b, c, a});
  compress({b, c});
  EXPECT_EQ(queue_after(a), (Queue{{b, 1.0}}));
}

struct Zeros final : LineageFunc {
  Result<void> compute(InputSlices, std::span<std::byte> out) override {
    std::memset(out.data(), 0, out.size());
    return {};
  }
};

TEST_F(Scheduling, DerivedBuffersAreLeftToTheirPins) {
  const std::uint64_t a = buffer();
  const std::uint64_t d = ok(rt.derive({}, kMiB, 1, std::make_shared<Zeros>()));
  const std::uint64_t c = buffer();
  pins({a, d, c, a});
  ASSERT_TRUE(ok(rt.evict(d)));
  compress({c});
  EXPECT_EQ(queue_after(a), (Queue{{c, 2.0}}));
}

}  // namespace
}  // namespace pelorin::rt
