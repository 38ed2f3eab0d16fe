// What the host tells about itself: CPU, memory, the own process, memory pressure and the
// GPU. Part of the platform layer: each OS provides these in one file of its own. Every
// call reads the system afresh; nothing is cached. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "error/error.h"

namespace pelorin::platform {

// The CPU's brand text, trimmed; "" when the system does not give one.
std::string cpu_brand();

// Physical memory and swap, in bytes.
struct MemoryFigures {
  std::uint64_t total = 0;
  // Memory that is free now or the cheapest to reclaim; never above `kernel_available`.
  std::uint64_t available = 0;
  // The kernel's own estimate of memory available without swapping.
  std::uint64_t kernel_available = 0;
  std::uint64_t swap_total = 0;
  std::uint64_t swap_free = 0;
};

// The figures above, or an Io error when the system's source cannot be read.
Result<MemoryFigures> memory_figures();

// The memory limit of the container (control group) the process runs in and what the
// group uses now, in bytes.
struct CgroupMemory {
  std::uint64_t limit = 0;
  std::uint64_t usage = 0;
};

// The process's own group's limit and usage; absent when the group sets no limit or its
// figures cannot be read.
std::optional<CgroupMemory> cgroup_memory();

// The process's resident set in bytes, read afresh; nothing when the system does not list
// the process. An Io error when the listing exists but cannot be read.
Result<std::optional<std::uint64_t>> own_resident_bytes();

// The system's memory-pressure reading.
struct PressureReading {
  const char* source = "";  // static text naming where the reading came from
  // The level as a kernel-style code: 1 normal, 2 warning, 4 critical.
  std::int32_t raw_level = 1;
  // Shares of the last 10 s in which some or all tasks stalled on memory, in percent;
  // absent where the system does not measure them.
  std::optional<double> some_avg10;
  std::optional<double> full_avg10;
};

// The current reading; an Io error when the system has no source for it.
Result<PressureReading> memory_pressure();

// The system's default GPU device with one reference the caller gives back with
// `gpu_release`, or nullptr when there is none.
void* gpu_device();

// A GPU buffer over `length` bytes at `address`, without copying and without owning the
// memory, made on `device`; the caller owns one reference. nullptr when refused.
void* gpu_buffer_no_copy(void* device, void* address, std::size_t length);

// Gives back one reference to a GPU object; nullptr does nothing.
void gpu_release(void* object);

}  // namespace pelorin::platform
