// Linux implementation of the platform layer.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace pelorin::platform {

namespace {

// From the kernel's ioprio interface; not every C library exports them.
constexpr int kIoprioWhoProcess = 1;  // with who = 0: the calling thread
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassNone = 0;
constexpr int kIoprioClassBe = 2;

constexpr int ioprio_value(int cls, int data) { return (cls << kIoprioClassShift) | data; }

void set_io_priority(int value) {
  (void)::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, value);
}

}  // namespace

std::size_t page_size() {
  static const std::size_t size = [] {
    long v = sysconf(_SC_PAGESIZE);
    return v > 0 ? static_cast<std::size_t>(v) : std::size_t{4096};
  }();
  return size;
}

unsigned online_cpus() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 0u;
}

void set_thread_name(const char* name) {
  char buf[16];
  std::strncpy(buf, name, sizeof buf - 1);
  buf[sizeof buf - 1] = '\0';
  pthread_setname_np(pthread_self(), buf);
}

std::string get_thread_name() {
  char buf[16];
  if (pthread_getname_np(pthread_self(), buf, sizeof buf) != 0) return {};
  return buf;
}

std::string process_name() {
  // /proc/self is the thread group, so this is the main thread's name.
  std::FILE* f = std::fopen("/proc/self/comm", "re");
  if (f == nullptr) return {};
  char buf[32];
  std::string name;
  if (std::fgets(buf, sizeof buf, f) != nullptr) name = buf;
  std::fclose(f);
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

void lower_io_priority() { set_io_priority(ioprio_value(kIoprioClassBe, 7)); }

void restore_io_priority() { set_io_priority(ioprio_value(kIoprioClassNone, 0)); }

void drop_cached(int fd, std::uint64_t offset, std::uint64_t length) {
  // Length 0 would mean "to the end of the file" to the system.
  if (length == 0) return;
  (void)::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                        POSIX_FADV_DONTNEED);
}

std::optional<std::uint64_t> process_footprint() {
  // One descriptor per process, opened on first use. A forked child inherits its parent's
  // (and only the forking thread survives a fork), so it closes that one and opens its own.
  static std::atomic<int> fd{-1};
  static std::atomic<pid_t> owner{0};
  static std::mutex open_mu;
  const pid_t pid = ::getpid();
  int f = fd.load(std::memory_order_acquire);
  if (f < 0 || owner.load(std::memory_order_acquire) != pid) {
    std::lock_guard<std::mutex> l(open_mu);
    f = fd.load(std::memory_order_acquire);
    if (f < 0 || owner.load(std::memory_order_acquire) != pid) {
      if (f >= 0) ::close(f);
      f = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
      fd.store(f, std::memory_order_release);
      owner.store(pid, std::memory_order_release);
      if (f < 0) return std::nullopt;
    }
  }
  char buf[128];
  const ssize_t n = ::pread(f, buf, sizeof buf - 1, 0);
  if (n <= 0) return std::nullopt;
  buf[n] = '\0';
  // "size resident shared ...": the second field, in pages.
  const char* p = buf;
  while (*p != '\0' && *p != ' ') ++p;
  if (*p != ' ') return std::nullopt;
  std::uint64_t pages = 0;
  for (++p; *p >= '0' && *p <= '9'; ++p) pages = pages * 10 + static_cast<std::uint64_t>(*p - '0');
  return pages * page_size();
}

void* map_anonymous(std::size_t len, Populate how) {
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (how != Populate::OnTouch) {
    // Memory about to be filled whole: huge pages where the system offers them on request.
    // Advice; failure is ignored.
    constexpr std::size_t kHuge = 2u << 20;
    if (len >= kHuge) (void)::madvise(p, len, MADV_HUGEPAGE);
  }
  if (how == Populate::Now) populate_for_write(p, len);
  return p;
}

void populate_for_write(void* p, std::size_t len) {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(page_size());
  const auto start = reinterpret_cast<std::uintptr_t>(p) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(p) + len;
  if (len != 0) (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)len;
#endif
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace pelorin::platform
