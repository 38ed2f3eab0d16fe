// Small helpers shared by the runtime's core tests.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "rt/runtime.h"

namespace pelorin::rt::test {

inline constexpr std::uint64_t kPage = 4096;
inline constexpr std::uint64_t kMiB = 1048576;

// A runtime without a service thread; a refusal ends the test with its text.
inline Runtime make_runtime(std::uint64_t budget = 1ull << 30, Policy policy = Policy::Reuse,
                            double min_saving = 0.15) {
  Options o;
  o.budget = budget;
  o.policy = policy;
  o.min_saving = min_saving;
  o.prefetch = false;
  auto r = Runtime::create(o);
  if (!r) throw std::runtime_error(r.error().display());
  return std::move(*r);
}

// The value of a result that must have succeeded; a failure ends the test with its text.
template <typename T>
T ok(Result<T> r) {
  if (!r) throw std::runtime_error("unexpected error: " + r.error().display());
  return std::move(*r);
}
inline void ok(Result<void> r) {
  if (!r) throw std::runtime_error("unexpected error: " + r.error().display());
}

// The display text of a failed result, or "<ok>".
template <typename T>
std::string err(const Result<T>& r) {
  return r ? std::string("<ok>") : r.error().display();
}

}  // namespace pelorin::rt::test
