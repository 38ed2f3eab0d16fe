#include "rt/runtime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace pelorin::rt {
namespace {

// Threads of this process named `name`, from the kernel's own view.
int threads_named(const std::string& name) {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++n;
  }
  return n;
}

// The thread names itself once it runs, so give it a moment (bounded).
int threads_named_soon(const std::string& name, int want) {
  for (int i = 0; i < 500 && threads_named(name) != want; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return threads_named(name);
}

Options with_budget(std::uint64_t budget) {
  Options o;
  o.budget = budget;
  return o;
}

TEST(Runtime, HeadroomIsOnePieceBoundInPages) {
  EXPECT_EQ(headroom_bytes(), 4210688u);
}

TEST(Runtime, ValidatesOptions) {
  struct Case {
    std::uint64_t budget;
    double min_saving;
    const char* error;  // nullptr: accepted
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {8421376, 0.15, nullptr},
      {8421375, 0.15,
       "invalid argument: a budget of 8.03 MiB is too small: the runtime needs at least 8.03 MiB"},
      {1048576, 0.15,
       "invalid argument: a budget of 1.00 MiB is too small: the runtime needs at least 8.03 MiB"},
      {1 << 30, 0.0, nullptr},
      {1 << 30, 1.0, "invalid argument: min_saving must be in [0, 1)"},
      {1 << 30, -0.01, "invalid argument: min_saving must be in [0, 1)"},
      {1 << 30, nan, "invalid argument: min_saving must be in [0, 1)"},
      // The budget is checked first.
      {0, nan,
       "invalid argument: a budget of 0.00 MiB is too small: the runtime needs at least 8.03 MiB"},
  };
  for (const Case& c : cases) {
    Options o = with_budget(c.budget);
    o.min_saving = c.min_saving;
    o.prefetch = false;
    auto r = Runtime::create(o);
    if (c.error == nullptr) {
      EXPECT_TRUE(r) << c.budget << " " << c.min_saving;
    } else {
      ASSERT_FALSE(r) << c.budget << " " << c.min_saving;
      EXPECT_EQ(r.error().display(), c.error);
    }
  }
}

TEST(Runtime, LimitLeavesHeadroomAndHeldBack) {
  auto r = Runtime::create(with_budget(8421376));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->limit(), 4210688u);
  r->shared()->held_back = 4096;
  EXPECT_EQ(r->limit(), 4210688u - 4096);
  Guard g = r->shared()->lock();
  EXPECT_EQ(g->stats.budget, 8421376u);
  EXPECT_EQ(g->stats.reserve, 4210688u);
  EXPECT_EQ(g->next_id, 1u);
}

TEST(Runtime, ServiceThreadLivesWithTheLastHandle) {
  const int before = threads_named("pelorin-rt");
  {
    auto made = Runtime::create(with_budget(1 << 30));
    ASSERT_TRUE(made);
    std::optional<Runtime> r(std::move(*made));
    EXPECT_EQ(threads_named_soon("pelorin-rt", before + 1), before + 1);
    Runtime copy = *r;
    std::shared_ptr<Shared> pinned_state = r->shared();
    r.reset();
    EXPECT_EQ(threads_named("pelorin-rt"), before + 1) << "a copy still owns the thread";
    { Runtime gone = std::move(copy); }
    // The state outlives the thread while something (a pin) still refers to it.
    EXPECT_EQ(threads_named("pelorin-rt"), before);
    EXPECT_TRUE(pinned_state->lock()->stop);
  }
  Options o = with_budget(1 << 30);
  o.prefetch = false;
  auto quiet = Runtime::create(o);
  ASSERT_TRUE(quiet);
  EXPECT_EQ(threads_named("pelorin-rt"), before);
}

TEST(Runtime, FailedConstructionStartsNoThread) {
  const int before = threads_named("pelorin-rt");
  EXPECT_FALSE(Runtime::create(with_budget(1)));
  EXPECT_EQ(threads_named("pelorin-rt"), before);
}

TEST(Rate, UpdatesOnlyOnRealWork) {
  Rate r{16777216.0, 0.04194304};
  r.update(0, 1.0);
  r.update(1.0, 0);
  EXPECT_DOUBLE_EQ(r.bytes, 16777216.0);
  r.update(1048576, 0.001);
  EXPECT_DOUBLE_EQ(r.bytes, 0.98 * 16777216.0 + 1048576);
  EXPECT_DOUBLE_EQ(r.seconds, 0.98 * 0.04194304 + 0.001);
}

}  // namespace
}  // namespace pelorin::rt
