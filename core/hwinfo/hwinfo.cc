#include "hwinfo/hwinfo.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "error/text.h"
#include "platform/host.h"
#include "platform/platform.h"

namespace pelorin::hwinfo {

namespace {

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

}  // namespace

std::uint64_t Memory::usable_bytes() const {
  return cgroup ? std::min(cgroup->free_bytes, available_bytes) : available_bytes;
}

Cpu cpu() { return Cpu{platform::cpu_brand(), platform::online_cpus()}; }

Result<Disk> disk(std::string_view path) {
  const std::string p(path);
  if (p.find('\0') != std::string::npos)
    return fail(Error::invalid_argument("path contains a NUL byte: " + quoted(path)));
  struct statvfs st {};
  if (::statvfs(p.c_str(), &st) != 0) return fail(Error::last_os());
  return Disk{p, saturating_mul(st.f_frsize, st.f_blocks), saturating_mul(st.f_frsize, st.f_bavail)};
}

Result<Memory> memory() {
  Result<platform::MemoryFigures> m = platform::memory_figures();
  if (!m) return fail(m.error());
  if (m->total == 0)
    return fail(Error::invalid_argument("the operating system reported 0 bytes of memory"));
  Memory out{};
  if (std::optional<platform::CgroupMemory> g = platform::cgroup_memory())
    out.cgroup = Cgroup{g->limit, g->usage < g->limit ? g->limit - g->usage : 0};
  out.total_bytes = m->total;
  out.available_bytes = std::min(m->available, m->total);
  out.kernel_available_bytes = m->kernel_available;
  out.swap_total_bytes = m->swap_total;
  out.swap_free_bytes = m->swap_free;
  return out;
}

Result<std::uint64_t> process_rss() {
  Result<std::optional<std::uint64_t>> rss = platform::own_resident_bytes();
  if (!rss) return fail(rss.error());
  if (!*rss) return fail(Error::invalid_argument("current process not found"));
  return **rss;
}

Result<Pressure> pressure_current() {
  Result<platform::PressureReading> r = platform::memory_pressure();
  if (!r) return fail(r.error());
  return Pressure{level_word(r->raw_level), r->source, r->some_avg10, r->full_avg10,
                  r->raw_level};
}

const char* level_word(std::int32_t raw_level) {
  if (raw_level > 3) return "critical";
  if (raw_level == 2 || raw_level == 3) return "warning";
  return "normal";
}

}  // namespace pelorin::hwinfo
