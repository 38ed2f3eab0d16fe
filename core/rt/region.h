// Page-aligned, zero-filled anonymous memory: where every byte the runtime keeps lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "error/error.h"
#include "platform/platform.h"

namespace pelorin::rt {

// Owns one private anonymous mapping of whole pages. Invariants: 1 <= size <= len,
// len is a multiple of the page size and len - size is less than one page. Moved, never
// copied; unmapped when destroyed. Regions carry no lock: the runtime reaches them
// through its table or through the thread that marked their buffer busy or pinned.
class Region {
 public:
  // A fresh, zero-filled, readable and writable region of at least `size` bytes.
  // Fails with InvalidArgument for size 0 and with Io when the system refuses the mapping.
  // `how` says when its pages become present (see platform::Populate).
  static Result<Region> create(std::uint64_t size,
                               platform::Populate how = platform::Populate::OnTouch);

  Region(Region&& other) noexcept;
  Region& operator=(Region&& other) noexcept;
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;
  ~Region();

  std::byte* ptr() const { return ptr_; }
  std::uint64_t size() const { return size_; }
  std::uint64_t len() const { return len_; }

  // The owner's view: the first `size` bytes.
  std::span<std::byte> bytes() const { return {ptr_, static_cast<std::size_t>(size_)}; }

  // Copies `src` over the whole view; a source of another length is a broken invariant.
  void copy_from(std::span<const std::byte> src);

  // Gives the whole pages inside [start, end) back to the system; they read as zero
  // afterwards and stay writable. A range reaching `size` takes the last, partly used
  // page and the tail with it; other partly covered pages are left alone.
  void release(std::uint64_t start, std::uint64_t end);

 private:
  Region(std::byte* ptr, std::uint64_t size, std::uint64_t len)
      : ptr_(ptr), size_(size), len_(len) {}
  void unmap();

  std::byte* ptr_;
  std::uint64_t size_;
  std::uint64_t len_;
};

}  // namespace pelorin::rt
