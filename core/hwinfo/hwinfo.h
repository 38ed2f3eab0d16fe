// One-shot answers about the machine and the process, for choosing budgets: the CPU, a file
// system's capacity, a memory snapshot with a cautious figure of available memory, the
// process's resident size, and the memory-pressure level. Every call reads the system
// afresh and only what it needs; nothing is cached. Stateless: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"

namespace pelorin::hwinfo {

struct Cpu {
  std::string brand;           // trimmed; "" when the system gives none
  std::uint64_t logical_cpus;  // online logical CPUs
};

struct Disk {
  std::string path;  // as given
  std::uint64_t total_bytes;
  std::uint64_t available_bytes;  // to unprivileged users
};

// The memory limit of the process's container and what of it is still free.
struct Cgroup {
  std::uint64_t limit_bytes;
  std::uint64_t free_bytes;  // limit minus usage, 0 when usage is above the limit
};

struct Memory {
  std::optional<Cgroup> cgroup;  // absent when no limit applies
  std::uint64_t total_bytes;
  // Cautious: only what is free now or the cheapest to reclaim. Never above total.
  std::uint64_t available_bytes;
  std::uint64_t kernel_available_bytes;  // the system's own, more generous, figure
  std::uint64_t swap_total_bytes;
  std::uint64_t swap_free_bytes;

  // What the process can use: the available figure, lowered to the container's free bytes.
  std::uint64_t usable_bytes() const;
};

struct Pressure {
  const char* level;  // "normal", "warning" or "critical"
  const char* source;
  std::optional<double> some_avg10;
  std::optional<double> full_avg10;
  std::int32_t raw_level;
};

Cpu cpu();

// Capacity of the file system holding `path`, which must exist. InvalidArgument for a path
// with a NUL byte, Io when the system cannot tell (a missing path among others).
Result<Disk> disk(std::string_view path);

// InvalidArgument when the system reports no memory at all; Io when it cannot be read.
Result<Memory> memory();

// Resident bytes of this process; InvalidArgument "current process not found" when the
// system does not list it.
Result<std::uint64_t> process_rss();

// The current memory-pressure level; Io when the system has no source for it.
Result<Pressure> pressure_current();

// The level word of a kernel-style level code: above 3 "critical", 2 and 3 "warning",
// anything else "normal".
const char* level_word(std::int32_t raw_level);

}  // namespace pelorin::hwinfo
