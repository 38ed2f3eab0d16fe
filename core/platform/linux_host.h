// The Linux host sources (/proc and the control-group file systems) as text, and the pure
// functions that read figures out of that text. Separate from the reading so that tests can
// feed them fixture text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"
#include "platform/host.h"

namespace pelorin::platform::linux_host {

// The whole of a (small) file such as one under /proc; an Io error of the open or read.
Result<std::string> read_text(const char* path);

// The value of the first "<key>\t: <value>" line of /proc/cpuinfo whose key is "model name",
// else "Model", else "Hardware", trimmed; "" when there is none.
std::string cpu_brand_of(std::string_view cpuinfo);

// The figures of /proc/meminfo: MemTotal, MemAvailable, SwapTotal, SwapFree, and as the
// cautious figure MemFree + Inactive(file), capped at MemAvailable. Missing fields count 0;
// without MemAvailable (very old kernels) the cautious figure stands for it.
MemoryFigures memory_of(std::string_view meminfo);

// Where the process's control groups are, from /proc/self/cgroup.
struct CgroupPaths {
  std::optional<std::string> v2;         // the "0::<path>" line
  std::optional<std::string> v1_memory;  // the line whose controllers include "memory"
};
CgroupPaths cgroup_paths_of(std::string_view proc_cgroup);

// A mounted control-group hierarchy: the group shown at the mount point (`root`, as a
// path inside the hierarchy) and where it is mounted.
struct CgroupMount {
  std::string root;
  std::string point;
};

// The v2 hierarchy and the v1 memory hierarchy, from /proc/self/mountinfo.
struct CgroupMounts {
  std::optional<CgroupMount> v2;
  std::optional<CgroupMount> v1_memory;
};
CgroupMounts cgroup_mounts_of(std::string_view mountinfo);

// The directory of group `path` under `mount`; a group outside the mount's root (a
// container that sees only its own part of the hierarchy) is the mount point itself.
std::string cgroup_dir(const CgroupMount& mount, std::string_view path);

// A group's memory limit file ("max", or a byte count). Absent when there is no limit:
// "max", a value at or above 2^62 (how v1 spells "no limit"), or text that is not a number.
std::optional<std::uint64_t> cgroup_limit_of(std::string_view text);

// A byte count file such as memory.current; absent when it is not a number.
std::optional<std::uint64_t> count_of(std::string_view text);

// The "some" and "full" avg10 figures of a pressure-stall file. Fails with an Io error
// naming `path` when there is no "some ... avg10=" figure; "full" may be absent.
struct Stall {
  double some_avg10 = 0;
  std::optional<double> full_avg10;
};
Result<Stall> stall_of(std::string_view text, const char* path);

// The level code of stall figures: 4 when full avg10 >= 10 or some avg10 >= 40, 2 when some
// avg10 >= 10 or full avg10 >= 1, else 1. A missing full figure counts 0.
std::int32_t stall_level(const Stall& s);

// The pressure reading from the stall file at `path`; an Io error (from the open when the
// file is missing) otherwise.
Result<PressureReading> pressure_from(const char* path);

// The resident set from /proc/<pid>/statm text (second field, pages) in bytes.
std::optional<std::uint64_t> resident_of(std::string_view statm);

}  // namespace pelorin::platform::linux_host
