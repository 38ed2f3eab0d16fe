// A pin: while it lives, its buffer stays resident at one address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pelorin::rt {

class Shared;

// Holds one pin of a buffer and the runtime state it lives in (not the service thread).
// Dropping it unpins the buffer. Moved, never copied. Any thread.
class Pin {
 public:
  Pin(std::shared_ptr<Shared> shared, std::uint64_t id, std::byte* ptr, std::uint64_t nbytes,
      bool write, bool strict)
      : shared_(std::move(shared)), id_(id), ptr_(ptr), nbytes_(nbytes), write_(write),
        strict_(strict) {}
  Pin(Pin&& other) noexcept;
  Pin& operator=(Pin&&) = delete;
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;
  ~Pin();

  std::uint64_t id() const { return id_; }
  std::byte* ptr() const { return ptr_; }  // page-aligned; valid while the pin lives
  std::uint64_t nbytes() const { return nbytes_; }
  bool write() const { return write_; }
  bool strict() const { return strict_; }

 private:
  std::shared_ptr<Shared> shared_;  // null once moved from
  std::uint64_t id_;
  std::byte* ptr_;
  std::uint64_t nbytes_;
  bool write_;
  bool strict_;
};

}  // namespace pelorin::rt
