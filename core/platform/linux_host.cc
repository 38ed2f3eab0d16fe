// Linux implementation of the host figures: /proc, the control-group file systems and the
// pressure-stall files. There is no GPU device layer on Linux.
#include "platform/linux_host.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>

#include "platform/platform.h"

namespace pelorin::platform {

namespace linux_host {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Calls `line(text)` for every line of `text`, without its newline; stops when it
// returns false.
template <typename F>
void each_line(std::string_view text, F&& line) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (!line(text.substr(0, end))) return;
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

// A whole decimal number with nothing else around it but white space.
std::optional<std::uint64_t> number(std::string_view s) {
  s = trim(s);
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

// Undoes the octal escapes (\040 for a space and so on) of a mountinfo field.
std::string unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
        s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The avg10 figure of one stall line ("some avg10=1.50 avg60=..."), if it has one.
std::optional<double> avg10_of(std::string_view line) {
  const std::size_t at = line.find("avg10=");
  if (at == std::string_view::npos) return std::nullopt;
  line.remove_prefix(at + 6);
  double v = 0;
  auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), v);
  if (ec != std::errc() || end == line.data()) return std::nullopt;
  return v;
}

}  // namespace

Result<std::string> read_text(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return fail(Error::last_os());
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    if (n == 0) return text;
    text.append(buf, static_cast<std::size_t>(n));
  }
}

std::string cpu_brand_of(std::string_view cpuinfo) {
  for (std::string_view key : {"model name", "Model", "Hardware"}) {
    std::optional<std::string_view> found;
    each_line(cpuinfo, [&](std::string_view line) {
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos || trim(line.substr(0, colon)) != key) return true;
      found = trim(line.substr(colon + 1));
      return false;
    });
    if (found) return std::string(*found);
  }
  return {};
}

MemoryFigures memory_of(std::string_view meminfo) {
  std::optional<std::uint64_t> total, free, available, inactive_file, swap_total, swap_free;
  each_line(meminfo, [&](std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    const std::string_view key = line.substr(0, colon);
    std::string_view value = trim(line.substr(colon + 1));
    std::uint64_t unit = 1;
    if (value.ends_with(" kB")) {
      value.remove_suffix(3);
      unit = 1024;
    }
    const std::optional<std::uint64_t> n = number(value);
    if (!n) return true;
    const std::uint64_t bytes = saturating_mul(*n, unit);
    if (key == "MemTotal") total = bytes;
    else if (key == "MemFree") free = bytes;
    else if (key == "MemAvailable") available = bytes;
    else if (key == "Inactive(file)") inactive_file = bytes;
    else if (key == "SwapTotal") swap_total = bytes;
    else if (key == "SwapFree") swap_free = bytes;
    return true;
  });
  MemoryFigures m;
  m.total = total.value_or(0);
  std::uint64_t cautious = free.value_or(0);
  if (__builtin_add_overflow(cautious, inactive_file.value_or(0), &cautious))
    cautious = std::numeric_limits<std::uint64_t>::max();
  m.kernel_available = available.value_or(cautious);
  m.available = std::min(cautious, m.kernel_available);
  m.swap_total = swap_total.value_or(0);
  m.swap_free = swap_free.value_or(0);
  return m;
}

CgroupPaths cgroup_paths_of(std::string_view proc_cgroup) {
  CgroupPaths paths;
  each_line(proc_cgroup, [&](std::string_view line) {
    const std::size_t a = line.find(':');
    const std::size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
    if (b == std::string_view::npos) return true;
    const std::string_view id = line.substr(0, a);
    std::string_view controllers = line.substr(a + 1, b - a - 1);
    const std::string path(line.substr(b + 1));
    if (id == "0" && controllers.empty()) {
      if (!paths.v2) paths.v2 = path;
      return true;
    }
    while (!controllers.empty()) {
      const std::size_t comma = controllers.find(',');
      if (controllers.substr(0, comma) == "memory" && !paths.v1_memory) paths.v1_memory = path;
      if (comma == std::string_view::npos) break;
      controllers.remove_prefix(comma + 1);
    }
    return true;
  });
  return paths;
}

CgroupMounts cgroup_mounts_of(std::string_view mountinfo) {
  CgroupMounts mounts;
  each_line(mountinfo, [&](std::string_view line) {
    // "id parent dev root point options [optional...] - fstype source super-options"
    const std::size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) return true;
    std::string_view fields[5];
    std::string_view head = line.substr(0, dash);
    for (std::string_view& f : fields) {
      head = trim(head);
      const std::size_t sp = head.find(' ');
      f = head.substr(0, sp);
      head = sp == std::string_view::npos ? std::string_view() : head.substr(sp);
    }
    if (fields[4].empty()) return true;
    std::string_view tail = line.substr(dash + 3);
    const std::size_t sp1 = tail.find(' ');
    const std::string_view fstype = tail.substr(0, sp1);
    std::string_view super = std::string_view();
    if (sp1 != std::string_view::npos) {
      const std::size_t sp2 = tail.find(' ', sp1 + 1);
      if (sp2 != std::string_view::npos) super = trim(tail.substr(sp2 + 1));
    }
    CgroupMount m{unescape(fields[3]), unescape(fields[4])};
    if (fstype == "cgroup2") {
      if (!mounts.v2) mounts.v2 = std::move(m);
    } else if (fstype == "cgroup" && !mounts.v1_memory) {
      while (!super.empty()) {
        const std::size_t comma = super.find(',');
        if (super.substr(0, comma) == "memory") {
          mounts.v1_memory = std::move(m);
          break;
        }
        if (comma == std::string_view::npos) break;
        super.remove_prefix(comma + 1);
      }
    }
    return true;
  });
  return mounts;
}

std::string cgroup_dir(const CgroupMount& mount, std::string_view path) {
  std::string_view root = mount.root;
  if (root.ends_with('/')) root.remove_suffix(1);
  if (!path.starts_with(root) || (path.size() > root.size() && path[root.size()] != '/'))
    return mount.point;
  std::string_view rest = path.substr(root.size());
  while (rest.starts_with('/')) rest.remove_prefix(1);
  if (rest.empty()) return mount.point;
  std::string dir = mount.point;
  if (!dir.ends_with('/')) dir += '/';
  dir += rest;
  return dir;
}

std::optional<std::uint64_t> cgroup_limit_of(std::string_view text) {
  const std::optional<std::uint64_t> n = number(text);
  if (!n || *n >= (std::uint64_t{1} << 62)) return std::nullopt;
  return n;
}

std::optional<std::uint64_t> count_of(std::string_view text) { return number(text); }

Result<Stall> stall_of(std::string_view text, const char* path) {
  std::optional<double> some, full;
  each_line(text, [&](std::string_view line) {
    if (line.starts_with("some ") && !some) some = avg10_of(line);
    if (line.starts_with("full ") && !full) full = avg10_of(line);
    return true;
  });
  if (!some) return fail(Error::io(fmt::format("{} has no \"some\" avg10 figure", path)));
  return Stall{*some, full};
}

std::int32_t stall_level(const Stall& s) {
  const double full = s.full_avg10.value_or(0.0);
  if (full >= 10.0 || s.some_avg10 >= 40.0) return 4;
  if (s.some_avg10 >= 10.0 || full >= 1.0) return 2;
  return 1;
}

Result<PressureReading> pressure_from(const char* path) {
  Result<std::string> text = read_text(path);
  if (!text) return fail(text.error());
  Result<Stall> s = stall_of(*text, path);
  if (!s) return fail(s.error());
  return PressureReading{"psi", stall_level(*s), s->some_avg10, s->full_avg10};
}

std::optional<std::uint64_t> resident_of(std::string_view statm) {
  statm = trim(statm);
  const std::size_t sp = statm.find(' ');
  if (sp == std::string_view::npos) return std::nullopt;
  std::string_view rest = statm.substr(sp + 1);
  const std::optional<std::uint64_t> pages = number(rest.substr(0, rest.find(' ')));
  if (!pages) return std::nullopt;
  return saturating_mul(*pages, page_size());
}

}  // namespace linux_host

using namespace linux_host;

std::string cpu_brand() {
  Result<std::string> text = read_text("/proc/cpuinfo");
  return text ? cpu_brand_of(*text) : std::string();
}

Result<MemoryFigures> memory_figures() {
  Result<std::string> text = read_text("/proc/meminfo");
  if (!text) return fail(text.error());
  return memory_of(*text);
}

std::optional<CgroupMemory> cgroup_memory() {
  Result<std::string> own = read_text("/proc/self/cgroup");
  Result<std::string> mountinfo = read_text("/proc/self/mountinfo");
  if (!own || !mountinfo) return std::nullopt;
  const CgroupPaths paths = cgroup_paths_of(*own);
  const CgroupMounts mounts = cgroup_mounts_of(*mountinfo);

  // The figures of one group directory, if it sets a limit.
  auto figures = [](const std::string& dir, const char* limit_file,
                    const char* usage_file) -> std::optional<CgroupMemory> {
    Result<std::string> limit_text = read_text((dir + limit_file).c_str());
    if (!limit_text) return std::nullopt;
    const std::optional<std::uint64_t> limit = cgroup_limit_of(*limit_text);
    if (!limit) return std::nullopt;
    Result<std::string> usage_text = read_text((dir + usage_file).c_str());
    if (!usage_text) return std::nullopt;
    const std::optional<std::uint64_t> usage = count_of(*usage_text);
    if (!usage) return std::nullopt;
    return CgroupMemory{*limit, *usage};
  };

  if (paths.v2 && mounts.v2) {
    if (auto m = figures(cgroup_dir(*mounts.v2, *paths.v2), "/memory.max", "/memory.current"))
      return m;
  }
  if (paths.v1_memory && mounts.v1_memory) {
    return figures(cgroup_dir(*mounts.v1_memory, *paths.v1_memory), "/memory.limit_in_bytes",
                   "/memory.usage_in_bytes");
  }
  return std::nullopt;
}

Result<std::optional<std::uint64_t>> own_resident_bytes() {
  const std::string path = fmt::format("/proc/{}/statm", ::getpid());
  Result<std::string> text = read_text(path.c_str());
  if (!text) {
    const int e = text.error().os_errno();
    if (e == ENOENT || e == ESRCH) return std::optional<std::uint64_t>();
    return fail(text.error());
  }
  const std::optional<std::uint64_t> bytes = resident_of(*text);
  if (!bytes) return fail(Error::io(fmt::format("{} has no resident figure", path)));
  return bytes;
}

Result<PressureReading> memory_pressure() { return pressure_from("/proc/pressure/memory"); }

void* gpu_device() { return nullptr; }

void* gpu_buffer_no_copy(void*, void*, std::size_t) { return nullptr; }

void gpu_release(void*) {}

}  // namespace pelorin::platform
