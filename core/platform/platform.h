// The only place that knows which operating system pelorin runs on. Everything that is
// not plain POSIX goes through these functions; each OS provides them in one file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelorin::platform {

// The system's page size, computed once (4096 if the system reports none).
std::size_t page_size();

// Names the calling thread; longer names are cut to what the system keeps (15 bytes).
void set_thread_name(const char* name);

// Rounds `n` up to a multiple of the page size; wraps to a small value on overflow.
inline std::uint64_t round_up_to_pages(std::uint64_t n) {
  const std::uint64_t p = page_size();
  return (n + p - 1) / p * p;
}

}  // namespace pelorin::platform
