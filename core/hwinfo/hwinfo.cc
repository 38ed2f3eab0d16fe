#include "hwinfo/hwinfo.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "platform/host.h"
#include "platform/platform.h"

namespace pelorin::hwinfo {

namespace {

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

// `s` as a double-quoted literal: quotes, backslashes and control characters escaped, and
// bytes that are not UTF-8 shown as \xNN, so that any path prints as one readable token.
std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3
                        : (c & 0xF8) == 0xF0 ? 4 : 0;
    bool valid = n != 0 && i + n <= s.size();
    for (std::size_t k = 1; valid && k < n; ++k)
      valid = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    char buf[16];
    if (!valid) {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
      ++i;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out.append(s.substr(i, n));
        }
    }
    i += n;
  }
  out += '"';
  return out;
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
