#include "rt/region.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/platform.h"

namespace pelorin::rt {

Result<Region> Region::create(std::uint64_t size, platform::Populate how) {
  if (size == 0) return fail(Error::invalid_argument("a region holds at least one byte"));
  // Wraps for sizes near 2^64; the system then rejects the length with EINVAL.
  const std::uint64_t len = platform::round_up_to_pages(size);
  void* p = platform::map_anonymous(len, how);
  if (p == nullptr) return fail(Error::last_os());
  return Region(static_cast<std::byte*>(p), size, len);
}

Region::Region(Region&& other) noexcept
    : ptr_(std::exchange(other.ptr_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      len_(std::exchange(other.len_, 0)) {}

Region& Region::operator=(Region&& other) noexcept {
  if (this != &other) {
    unmap();
    ptr_ = std::exchange(other.ptr_, nullptr);
    size_ = std::exchange(other.size_, 0);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

Region::~Region() { unmap(); }

void Region::unmap() {
  if (ptr_ != nullptr) ::munmap(ptr_, len_);
  ptr_ = nullptr;
}

void Region::copy_from(std::span<const std::byte> src) {
  PELORIN_CHECK(src.size() == size_, "copy of {} bytes into a region of {} bytes", src.size(),
                size_);
  if (!src.empty()) std::memcpy(ptr_, src.data(), src.size());
}

void Region::release(std::uint64_t start, std::uint64_t end) {
  const std::uint64_t page = platform::page_size();
  const std::uint64_t lo = platform::round_up_to_pages(start);
  const std::uint64_t hi = end >= size_ ? len_ : end / page * page;
  // A start so large that rounding wraps releases nothing.
  if (lo < start || hi <= lo) return;
  // Private anonymous pages read as zero after MADV_DONTNEED and the range stays mapped.
  // A refusal only means the memory stays in use until the region goes.
  (void)::madvise(ptr_ + lo, hi - lo, MADV_DONTNEED);
}

}  // namespace pelorin::rt
