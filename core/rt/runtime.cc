#include "rt/runtime.h"

#include <zstd.h>

#include <random>
#include <string_view>
#include <system_error>

#include "platform/platform.h"
#include "rt/service.h"

namespace pelorin::rt {

std::uint64_t SeededHash::seed() {
  static const std::uint64_t s = [] {
    std::random_device rd;
    return (std::uint64_t{rd()} << 32) ^ rd();
  }();
  return s;
}

std::uint64_t SeededHash::mix(std::uint64_t x) {
  // splitmix64 finaliser
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

std::size_t SeededHash::operator()(const std::string& s) const {
  return mix(std::hash<std::string_view>{}(s) ^ seed());
}

std::string mib(std::uint64_t bytes) {
  return fmt::format("{:.2f} MiB", static_cast<double>(bytes) / 1048576.0);
}

std::uint64_t headroom_bytes() {
  return platform::round_up_to_pages(ZSTD_compressBound(4194304));
}

Guard::~Guard() {
  if (!lock_.owns_lock() || inner_->retired.empty()) return;
  auto retired = std::move(inner_->retired);
  inner_->retired.clear();
  lock_.unlock();
  // `retired` goes here, with the mutex free.
}

Shared::Shared(const Options& o, std::uint64_t room) : opts(o), headroom(room) {
  inner_.stats.budget = o.budget;
  inner_.stats.reserve = room;
}

Owner::~Owner() {
  {
    Guard g = shared_->lock();
    g->stop = true;
  }
  shared_->broadcast();
  std::optional<std::thread> t;
  {
    std::lock_guard<std::mutex> l(thread_mu_);
    t.swap(thread_);
  }
  // The service thread finishes the restore it may be doing, then sees `stop`.
  if (t && t->joinable()) t->join();
}

Result<void> Owner::start_service() {
  std::lock_guard<std::mutex> l(thread_mu_);
  try {
    thread_.emplace([s = shared_] { service_main(s); });
  } catch (const std::system_error& e) {
    return fail(Error::os(e.code().value()));
  }
  return {};
}

Result<Runtime> Runtime::create(const Options& opts) {
  const std::uint64_t room = headroom_bytes();
  if (opts.budget < 2 * room)
    return fail(Error::invalid_argument(
        fmt::format("a budget of {} is too small: the runtime needs at least {}", mib(opts.budget),
                    mib(2 * room))));
  if (!(opts.min_saving >= 0.0 && opts.min_saving < 1.0))
    return fail(Error::invalid_argument("min_saving must be in [0, 1)"));

  auto shared = std::make_shared<Shared>(opts, room);
  auto owner = std::make_shared<Owner>(shared);
  if (opts.prefetch) {
    // On failure the owner goes with no thread to join, and the state with it.
    if (auto started = owner->start_service(); !started) return fail(started.error());
  }
  return Runtime(std::move(shared), std::move(owner));
}

}  // namespace pelorin::rt
