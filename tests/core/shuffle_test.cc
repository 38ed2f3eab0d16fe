#include "codec/shuffle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "error/error.h"

namespace pelorin::codec {
namespace {

using Bytes = std::vector<std::byte>;
using Transform = void (*)(std::span<const std::byte>, std::size_t, std::span<std::byte>);

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

Bytes random_bytes(std::size_t len, std::mt19937_64& rng) {
  Bytes out(len);
  for (auto& b : out) b = static_cast<std::byte>(rng());
  return out;
}

// The plane rule written out directly, independent of the library's loops.
Bytes reference_shuffle(std::span<const std::byte> src, std::size_t elem) {
  const std::size_t n = src.size() / elem;
  Bytes out(src.size());
  for (std::size_t k = 0; k < elem; ++k)
    for (std::size_t i = 0; i < n; ++i) out[k * n + i] = src[i * elem + k];
  return out;
}

// Index of the first differing byte, or -1; keeps failures on 1 MiB buffers readable.
long first_difference(std::span<const std::byte> a, std::span<const std::byte> b) {
  if (a.size() != b.size()) return 0;
  auto [ia, ib] = std::ranges::mismatch(a, b);
  return ia == a.end() ? -1 : static_cast<long>(ia - a.begin());
}

TEST(ShuffleTest, FixedVectors) {
  struct Case {
    std::size_t elem;
    Bytes interleaved;
    Bytes shuffled;
  };
  const Case cases[] = {
      {1, bytes({0x07, 0x03, 0x09}), bytes({0x07, 0x03, 0x09})},
      {2, bytes({0x00, 0x01, 0x02, 0x03, 0x04, 0x05}), bytes({0x00, 0x02, 0x04, 0x01, 0x03, 0x05})},
      {4,
       bytes({0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B}),
       bytes({0x00, 0x04, 0x08, 0x01, 0x05, 0x09, 0x02, 0x06, 0x0A, 0x03, 0x07, 0x0B})},
      {3, bytes({0x10, 0x11, 0x12, 0x20, 0x21, 0x22}), bytes({0x10, 0x20, 0x11, 0x21, 0x12, 0x22})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(fmt::format("elem {}", c.elem));
    Bytes out(c.interleaved.size());
    shuffle(c.interleaved, c.elem, out);
    EXPECT_EQ(out, c.shuffled);
    Bytes back(c.shuffled.size());
    unshuffle(c.shuffled, c.elem, back);
    EXPECT_EQ(back, c.interleaved);
  }
}

// Element counts straddle the 16- and 32-element vector steps and the 512-element chunk
// of the 16-byte loops, so every fast loop runs with no, a partial and a full block and
// each later loop picks up what the one before left (1079 = 2 chunks + 32 + 16 + 7).
// Spans start one byte off alignment and sit between guard bytes that must survive.
TEST(ShuffleTest, MatchesPlaneRuleAndRoundTrips) {
  constexpr std::size_t kGuard = 32;
  constexpr std::byte kGuardByte{0x5A};
  const std::size_t elems[] = {1, 2, 3, 4, 8, 16};
  std::mt19937_64 rng(20240611);

  for (std::size_t elem : elems) {
    std::vector<std::size_t> counts = {0,   1,   2,   3,   7,   15,  16,  17,  31,  32,
                                       33,  47,  48,  49,  63,  64,  65,  127, 128, 129,
                                       511, 512, 513, 543, 1079};
    counts.push_back((std::size_t{1} << 20) / elem + 3);  // ~1 MiB with a ragged tail
    for (std::size_t count : counts) {
      const std::size_t len = count * elem;
      SCOPED_TRACE(fmt::format("elem {}, {} elements", elem, count));

      Bytes src_buf(len + 1);
      const std::span<std::byte> src = std::span(src_buf).subspan(1, len);
      const Bytes data = random_bytes(len, rng);
      std::ranges::copy(data, src.begin());

      Bytes shuffled_buf(len + 2 * kGuard + 1, kGuardByte);
      const std::span<std::byte> shuffled = std::span(shuffled_buf).subspan(kGuard + 1, len);
      shuffle(src, elem, shuffled);
      EXPECT_EQ(first_difference(shuffled, reference_shuffle(data, elem)), -1);
      EXPECT_EQ(std::ranges::count(shuffled_buf, kGuardByte) -
                    std::ranges::count(shuffled, kGuardByte),
                static_cast<long>(2 * kGuard + 1))
          << "shuffle wrote outside its destination";
      EXPECT_EQ(first_difference(src, data), -1) << "shuffle changed its source";

      Bytes back_buf(len + 2 * kGuard + 1, kGuardByte);
      const std::span<std::byte> back = std::span(back_buf).subspan(kGuard + 1, len);
      unshuffle(shuffled, elem, back);
      EXPECT_EQ(first_difference(back, data), -1);
      EXPECT_EQ(std::ranges::count(back_buf, kGuardByte) - std::ranges::count(back, kGuardByte),
                static_cast<long>(2 * kGuard + 1))
          << "unshuffle wrote outside its destination";
    }
  }
}

struct BadCall {
  std::size_t src_len;
  std::size_t dst_len;
  std::size_t elem;
  const char* message;
};

const BadCall kBadCalls[] = {
    {5, 6, 1, "source of 5 bytes and destination of 6 bytes differ in length"},
    {32, 30, 2, "source of 32 bytes and destination of 30 bytes differ in length"},
    {0, 4, 4, "source of 0 bytes and destination of 4 bytes differ in length"},
    {4, 4, 0, "element size 0"},
    {0, 0, 0, "element size 0"},
    {7, 7, 2, "7 bytes are not a whole number of 2-byte elements"},
    {66, 66, 4, "66 bytes are not a whole number of 4-byte elements"},
    {3, 3, 16, "3 bytes are not a whole number of 16-byte elements"},
    {1028, 1028, 8, "1028 bytes are not a whole number of 8-byte elements"},
};

struct Named {
  const char* name;
  Transform fn;
};

const Named kTransforms[] = {{"shuffle", &shuffle}, {"unshuffle", &unshuffle}};

TEST(ShuffleDeathTest, BrokenPreconditionsAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Named& t : kTransforms) {
    for (const BadCall& c : kBadCalls) {
      SCOPED_TRACE(fmt::format("{}({}, {}, {})", t.name, c.src_len, c.elem, c.dst_len));
      Bytes src(c.src_len);
      Bytes dst(c.dst_len);
      // noexcept turns the FatalError into termination, as on a plain function pointer.
      auto call = [&]() noexcept { t.fn(src, c.elem, dst); };
      // "fatal error: shuffle:" does not match "fatal error: unshuffle:", so the name counts.
      EXPECT_DEATH(call(), fmt::format("fatal error: {}: {}", t.name, c.message));
    }
  }
}

TEST(ShuffleTest, RefusedCallLeavesDestinationUntouched) {
  constexpr std::byte kUntouched{0xAA};
  for (const Named& t : kTransforms) {
    for (const BadCall& c : kBadCalls) {
      SCOPED_TRACE(fmt::format("{}({}, {}, {})", t.name, c.src_len, c.elem, c.dst_len));
      const Bytes src(c.src_len, std::byte{0x11});
      Bytes dst(c.dst_len, kUntouched);
      EXPECT_THROW(t.fn(src, c.elem, dst), pelorin::FatalError);
      EXPECT_EQ(std::ranges::count(dst, kUntouched), static_cast<long>(dst.size()));
    }
  }
}

TEST(ShuffleTest, EmptySpansSucceed) {
  const std::size_t elems[] = {1, 2, 4, 5, 8, 16};
  for (const Named& t : kTransforms)
    for (std::size_t elem : elems) EXPECT_NO_THROW(t.fn({}, elem, {})) << t.name;
}

}  // namespace
}  // namespace pelorin::codec
