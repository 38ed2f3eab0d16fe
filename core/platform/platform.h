// The only place that knows which operating system pelorin runs on. Everything that is
// not plain POSIX goes through these functions; each OS provides them in one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace pelorin::platform {

// The system's page size, computed once (4096 if the system reports none).
std::size_t page_size();

// Processors currently online; 0 when the system cannot tell. Any thread.
unsigned online_cpus();

// Names the calling thread; longer names are cut to what the system keeps (15 bytes).
void set_thread_name(const char* name);

// The calling thread's name, or "" when the system does not give it.
std::string get_thread_name();

// The process's name as the system shows it (its main thread's name), or "" when it
// cannot be read. Any thread.
std::string process_name();

// Puts the calling thread's disk I/O in the lowest best-effort level; failure is ignored
// (the I/O then just runs at the usual priority).
void lower_io_priority();

// Gives the calling thread's disk I/O the system's default priority back; failure ignored.
void restore_io_priority();

// Tells the system the file's cached pages in [offset, offset + length) will not be read
// again soon, so it can drop them. Advice only: failure is ignored; length 0 does nothing.
void drop_cached(int fd, std::uint64_t offset, std::uint64_t length);

// The process's resident set in bytes (the footprint a process budget is held against),
// or nothing when it cannot be read. No allocation: one pread on a descriptor kept open
// (opened again after a fork). Any thread.
std::optional<std::uint64_t> process_footprint();

// How the pages of a new anonymous mapping become present.
enum class Populate : std::uint8_t {
  OnTouch,   // each page on its first access
  Now,       // all at once, backed by huge pages where the system offers them on request:
             // far cheaper than a fault per page for a caller about to write all of them
  ByFiller,  // huge pages where offered; the caller makes each piece present just before
             // filling it (populate_for_write), so the zeroing overlaps with waiting on I/O
};

// Maps `len` bytes of private, zero-filled, readable and writable anonymous memory.
// nullptr with errno set on failure.
void* map_anonymous(std::size_t len, Populate how);

// Makes the pages of [p, p + len) present and writable now, in one call. Advice: failure
// (an old kernel, memory that cannot be written) is ignored.
void populate_for_write(void* p, std::size_t len);

// Rounds `n` up to a multiple of the page size; wraps to a small value on overflow.
inline std::uint64_t round_up_to_pages(std::uint64_t n) {
  const std::uint64_t p = page_size();
  return (n + p - 1) / p * p;
}

// Owns one open file descriptor (or none, -1) and closes it when destroyed; close
// failures are ignored because the descriptor is gone either way. Moved, never copied.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives up ownership without closing; returns the descriptor.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the owned descriptor, if any, and takes `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace pelorin::platform
