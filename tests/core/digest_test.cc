#include "spill/digest.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace pelorin::spill {
namespace {

constexpr std::uint64_t kMiB4 = 4194304;

Digest from_hex(const char* hex) {
  Digest d{};
  for (std::size_t i = 0; i < 16; ++i) {
    unsigned v = 0;
    std::sscanf(hex + 3 * i, "%2x", &v);
    d[i] = static_cast<std::byte>(v);
  }
  return d;
}

std::vector<std::byte> random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::byte> v(n);
  for (auto& b : v) b = static_cast<std::byte>(rng());
  return v;
}

// The digest built directly on xxHash, sharing nothing with the code under test.
void append_le(std::vector<unsigned char>& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

Digest reference_digest(const std::byte* p, std::size_t n) {
  std::vector<unsigned char> msg;
  append_le(msg, n);
  for (std::size_t off = 0; off < n; off += kMiB4) {
    XXH128_hash_t h = XXH3_128bits(p + off, std::min<std::size_t>(kMiB4, n - off));
    append_le(msg, h.low64);
    append_le(msg, h.high64);
  }
  XXH128_hash_t h = XXH3_128bits(msg.data(), msg.size());
  std::vector<unsigned char> out;
  append_le(out, h.low64);
  append_le(out, h.high64);
  Digest d;
  for (std::size_t i = 0; i < 16; ++i) d[i] = static_cast<std::byte>(out[i]);
  return d;
}

TEST(Digest, KnownVectors) {
  const Digest empty = from_hex("b2 65 56 03 9d b4 c3 45 54 7d 14 dc 99 8a 0a 2c");
  EXPECT_EQ(digest({}), empty);
  EXPECT_TRUE(digest_parts({}).empty());

  const std::vector<std::byte> zeros(8);
  EXPECT_EQ(digest(zeros), from_hex("68 45 0b cf 72 15 92 6e 58 cb 65 71 8f bf 09 00"));
  // Eight zero bytes are also what the empty buffer's digest hashes: its length.
  auto parts = digest_parts(zeros);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(to_digest(parts[0]), empty);
}

TEST(Digest, PartCountFollowsChunkBoundaries) {
  const std::vector<std::byte> data(3 * kMiB4 + 1);
  const std::span<const std::byte> all(data);
  struct Case {
    std::size_t length, parts;
  };
  for (Case c : {Case{0, 0}, Case{1, 1}, Case{kMiB4 - 1, 1}, Case{kMiB4, 1},
                 Case{kMiB4 + 1, 2}, Case{2 * kMiB4, 2}, Case{2 * kMiB4 + 1, 3},
                 Case{3 * kMiB4 + 1, 4}}) {
    EXPECT_EQ(digest_parts(all.first(c.length)).size(), c.parts) << c.length;
    EXPECT_EQ(chunk_count(c.length), c.parts) << c.length;
  }
  // No wrap-around for lengths near the top of the range.
  EXPECT_EQ(chunk_count(UINT64_MAX), (UINT64_MAX >> 22) + 1);
}

TEST(Digest, AgreesWithDirectConstruction) {
  const auto data = random_bytes(3 * kMiB4 + 17, 1);
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{15},
                        std::size_t{16}, std::size_t{17}, kMiB4 - 1, kMiB4, kMiB4 + 1,
                        2 * kMiB4 - 1, 2 * kMiB4, 2 * kMiB4 + 1, 3 * kMiB4 + 17}) {
    const std::span<const std::byte> prefix(data.data(), n);
    EXPECT_EQ(digest(prefix), reference_digest(data.data(), n)) << n;
    // Each part is the plain hash of its chunk.
    auto parts = digest_parts(prefix);
    for (std::size_t i = 0; i < parts.size(); ++i) {
      XXH128_hash_t h =
          XXH3_128bits(data.data() + i * kMiB4, std::min<std::size_t>(kMiB4, n - i * kMiB4));
      EXPECT_EQ(parts[i].low, h.low64);
      EXPECT_EQ(parts[i].high, h.high64);
    }
  }
}

TEST(Digest, PartsOfAPrefixOfWholeChunksCombineWithTheRest) {
  const auto data = random_bytes(3 * kMiB4 + 5, 2);
  const std::span<const std::byte> all(data);
  struct Case {
    std::size_t a, b;
    bool holds;
  };
  for (Case c : {Case{0, 100, true}, Case{kMiB4, 1, true}, Case{kMiB4, kMiB4 + 3, true},
                 Case{2 * kMiB4, kMiB4 + 5, true}, Case{kMiB4, 0, true},
                 Case{kMiB4 - 1, 2, false}, Case{kMiB4 + 1, 10, false}, Case{7, 7, false}}) {
    auto pa = digest_parts(all.first(c.a));
    auto pb = digest_parts(all.subspan(c.a, c.b));
    pa.insert(pa.end(), pb.begin(), pb.end());
    EXPECT_EQ(combine(c.a + c.b, pa) == digest(all.first(c.a + c.b)), c.holds)
        << c.a << " + " << c.b;
  }
}

TEST(Digest, CombineHashesWhateverItIsGiven) {
  // Length 5, no parts: the hash of the length alone.
  std::vector<unsigned char> msg;
  append_le(msg, 5);
  XXH128_hash_t h = XXH3_128bits(msg.data(), msg.size());
  EXPECT_EQ(combine(5, {}), to_digest({h.low64, h.high64}));

  // Length 0 with two parts: the zero length followed by the parts' bytes.
  const Hash128 parts[] = {{0x0706050403020100, 0x0f0e0d0c0b0a0908}, {1, 2}};
  msg.clear();
  append_le(msg, 0);
  for (Hash128 p : parts) {
    append_le(msg, p.low);
    append_le(msg, p.high);
  }
  h = XXH3_128bits(msg.data(), msg.size());
  EXPECT_EQ(combine(0, parts), to_digest({h.low64, h.high64}));
}

TEST(Digest, PartsRoundTripThroughBytes) {
  const Hash128 parts[] = {{0x0706050403020100, 0x0f0e0d0c0b0a0908},
                           {0xffffffffffffffff, 0}};
  auto bytes = parts_to_bytes(parts);
  ASSERT_EQ(bytes.size(), 32u);
  // Low half first, each half little-endian.
  for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], static_cast<std::byte>(i));
  for (int i = 16; i < 24; ++i) EXPECT_EQ(bytes[i], std::byte{0xff});
  for (int i = 24; i < 32; ++i) EXPECT_EQ(bytes[i], std::byte{0});

  auto back = parts_from_bytes(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, std::vector<Hash128>(std::begin(parts), std::end(parts)));
  EXPECT_TRUE(parts_from_bytes({})->empty());

  auto odd = parts_from_bytes(std::span<const std::byte>(bytes).first(17));
  ASSERT_FALSE(odd);
  EXPECT_EQ(odd.error().kind(), Error::Kind::InvalidArgument);
}

}  // namespace
}  // namespace pelorin::spill
