// Linux implementation of the platform layer.
#include <pthread.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"

namespace pelorin::platform {

std::size_t page_size() {
  static const std::size_t size = [] {
    long v = sysconf(_SC_PAGESIZE);
    return v > 0 ? static_cast<std::size_t>(v) : std::size_t{4096};
  }();
  return size;
}

void set_thread_name(const char* name) {
  char buf[16];
  std::strncpy(buf, name, sizeof buf - 1);
  buf[sizeof buf - 1] = '\0';
  pthread_setname_np(pthread_self(), buf);
}

}  // namespace pelorin::platform
