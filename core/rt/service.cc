#include "rt/service.h"

#include "platform/platform.h"
#include "rt/internal.h"

namespace pelorin::rt {

// Queues nothing yet: prefetching in order of the recorded pins comes with the service
// thread's work.
void schedule(Shared&, Inner&, std::uint64_t) {}

void service_main(std::shared_ptr<Shared> shared) noexcept {
  platform::set_thread_name("pelorin-rt");
  try {
    Guard g = shared->lock();
    // The stop flag is tested before anything else on every wake-up.
    while (!g->stop) shared->wait(g);
  } catch (const FatalError&) {
    // The text is on standard error already; the owner discards the failure at join.
  }
}

}  // namespace pelorin::rt
