// Chunked compression: a buffer of fixed-size elements becomes independent pieces, one per
// 4 MiB chunk, each one zstd frame of the byte-shuffled chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "error/error.h"

namespace pelorin::codec {

// Buffer bytes one piece covers.
inline constexpr std::size_t CODEC_CHUNK = 4194304;

// Allocator whose resize leaves new bytes uninitialised: a piece is written by zstd right
// after it is sized, so zero-filling it first would be wasted work.
template <typename T>
struct UninitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <typename U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0)
      ::new (static_cast<void*>(p)) U;
    else
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A growable byte vector; one holds one piece.
using Bytes = std::vector<std::byte, UninitAllocator<std::byte>>;

// Checks that `elem` is a valid element size (1 to 16, dividing the chunk size) that
// divides `len`. The error is an I/O error of invalid input.
Result<void> check_elem(std::size_t elem, std::size_t len);

// Compresses one chunk of at most CODEC_CHUNK bytes into `out`, which then holds exactly
// one piece. Runs on the calling thread with its own zstd contexts.
Result<void> pack_chunk(std::span<const std::byte> src, std::size_t elem, std::int32_t level,
                        Bytes& out);

// Restores one chunk: `dst` must be the length the piece decompresses to.
Result<void> unpack_chunk(std::span<const std::byte> piece, std::size_t elem,
                          std::span<std::byte> dst);

// Compresses a whole buffer, chunks in parallel on the calling thread's pool; pieces come
// back in chunk order. On failure no pieces are returned.
Result<std::vector<Bytes>> pack(std::span<const std::byte> src, std::size_t elem,
                                std::int32_t level);

// Restores a whole buffer from its pieces, in parallel. On failure some chunks of `dst`
// may already be written.
Result<void> unpack_into(std::span<const std::span<const std::byte>> pieces, std::size_t elem,
                         std::span<std::byte> dst);

}  // namespace pelorin::codec
