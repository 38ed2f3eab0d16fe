// The service thread "pelorin-rt" of a runtime.
#pragma once

#include <memory>

namespace pelorin::rt {

class Shared;

// Body of the service thread: sleeps on the runtime's condition variable until there is
// work or the runtime stops. A fatal error ends the thread.
void service_main(std::shared_ptr<Shared> shared) noexcept;

}  // namespace pelorin::rt
