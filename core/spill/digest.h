// Content digests of byte buffers: the buffer is cut into 4 MiB chunks, each chunk is
// hashed on its own (so chunks can be hashed in parallel and as they are written or
// read), and the digest is the hash of the length followed by the chunk hashes.
// The hash everywhere is XXH3-128 with seed 0. At byte boundaries a 128-bit value is
// little-endian as a whole: the low 64 bits first, then the high 64 bits, each
// little-endian (not xxHash's canonical big-endian form).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error/error.h"

namespace pelorin::spill {

// Bytes per chunk; every chunk but the last of a buffer is exactly this long.
inline constexpr std::uint64_t DIGEST_CHUNK = 4194304;

// A 128-bit hash as two halves, in memory only; see store_hash/load_hash for bytes.
struct Hash128 {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  friend bool operator==(const Hash128&, const Hash128&) = default;
};

// A digest in its 16-byte little-endian form.
using Digest = std::array<std::byte, 16>;

// Chunks of an n-byte buffer: ceil(n / DIGEST_CHUNK); 0 for an empty buffer.
inline std::uint64_t chunk_count(std::uint64_t n) {
  return n / DIGEST_CHUNK + (n % DIGEST_CHUNK != 0 ? 1 : 0);
}

// XXH3-128 of `data`, on the calling thread.
Hash128 hash_bytes(std::span<const std::byte> data);

// Writes `h` as 16 little-endian bytes.
void store_hash(Hash128 h, std::span<std::byte, 16> out);
// Reads 16 little-endian bytes back.
Hash128 load_hash(std::span<const std::byte, 16> in);
// `h` as a Digest (its 16-byte form).
Digest to_digest(Hash128 h);

// The parts one after another, 16 bytes each.
std::vector<std::byte> parts_to_bytes(std::span<const Hash128> parts);
// The inverse of parts_to_bytes; InvalidArgument unless the size is a multiple of 16.
Result<std::vector<Hash128>> parts_from_bytes(std::span<const std::byte> bytes);

// The hash of every chunk of `data`, in order, computed with tbb::parallel_for on the
// calling thread's task arena. Any thread.
std::vector<Hash128> digest_parts(std::span<const std::byte> data);

// The digest of a buffer of `length` bytes whose chunk hashes are `parts`: XXH3-128 of
// the length (8 bytes LE) followed by the parts. Nothing checks that the part count
// fits the length; a mismatch just gives another value.
Digest combine(std::uint64_t length, std::span<const Hash128> parts);

// combine(data.size(), digest_parts(data)).
Digest digest(std::span<const std::byte> data);

}  // namespace pelorin::spill
