#include "spill/digest.h"

#include "pool/parallel.h"

#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace pelorin::spill {

namespace {

void store_le64(std::uint64_t v, std::byte* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::byte>(v >> (8 * i));
}

std::uint64_t load_le64(const std::byte* in) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(in[i]) << (8 * i);
  return v;
}

}  // namespace

Hash128 hash_bytes(std::span<const std::byte> data) {
  XXH128_hash_t h = XXH3_128bits(data.data(), data.size());
  return {h.low64, h.high64};
}

void store_hash(Hash128 h, std::span<std::byte, 16> out) {
  store_le64(h.low, out.data());
  store_le64(h.high, out.data() + 8);
}

Hash128 load_hash(std::span<const std::byte, 16> in) {
  return {load_le64(in.data()), load_le64(in.data() + 8)};
}

Digest to_digest(Hash128 h) {
  Digest d;
  store_hash(h, d);
  return d;
}

std::vector<std::byte> parts_to_bytes(std::span<const Hash128> parts) {
  std::vector<std::byte> out(parts.size() * 16);
  for (std::size_t i = 0; i < parts.size(); ++i)
    store_hash(parts[i], std::span<std::byte, 16>(out.data() + 16 * i, 16));
  return out;
}

Result<std::vector<Hash128>> parts_from_bytes(std::span<const std::byte> bytes) {
  if (bytes.size() % 16 != 0)
    return fail(Error::invalid_argument(
        fmt::format("digest parts take 16 bytes each, got {} bytes", bytes.size())));
  std::vector<Hash128> parts(bytes.size() / 16);
  for (std::size_t i = 0; i < parts.size(); ++i)
    parts[i] = load_hash(std::span<const std::byte, 16>(bytes.data() + 16 * i, 16));
  return parts;
}

std::vector<Hash128> digest_parts(std::span<const std::byte> data) {
  const std::size_t k = chunk_count(data.size());
  std::vector<Hash128> parts(k);
  std::atomic<std::size_t> written{0};
  pool::for_each_index(k, [&](std::size_t i) {
    const std::size_t offset = i * DIGEST_CHUNK;
    parts[i] =
        hash_bytes(data.subspan(offset, std::min<std::size_t>(DIGEST_CHUNK, data.size() - offset)));
    written.fetch_add(1, std::memory_order_relaxed);
  });
  PELORIN_CHECK(written.load() == k, "{} of {} digest parts computed", written.load(), k);
  return parts;
}

Digest combine(std::uint64_t length, std::span<const Hash128> parts) {
  const std::size_t n = 8 + 16 * parts.size();
  auto buf = std::make_unique_for_overwrite<std::byte[]>(n);
  store_le64(length, buf.get());
  for (std::size_t i = 0; i < parts.size(); ++i)
    store_hash(parts[i], std::span<std::byte, 16>(buf.get() + 8 + 16 * i, 16));
  return to_digest(hash_bytes({buf.get(), n}));
}

Digest digest(std::span<const std::byte> data) {
  return combine(data.size(), digest_parts(data));
}

}  // namespace pelorin::spill
