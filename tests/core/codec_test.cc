#include "codec/codec.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstring>
#include <random>
#include <thread>

#include "codec/shuffle.h"

namespace pelorin::codec {
namespace {

// Smooth, compressible data: a slowly rising float32 signal.
std::vector<std::byte> smooth(std::size_t n) {
  std::vector<std::byte> v(n);
  for (std::size_t i = 0; i + 4 <= n; i += 4) {
    float f = static_cast<float>(i) * 1e-3f;
    std::memcpy(&v[i], &f, 4);
  }
  return v;
}

std::vector<std::byte> random_bytes(std::size_t n, unsigned seed = 7) {
  std::mt19937_64 rng(seed);
  std::vector<std::byte> v(n);
  for (auto& b : v) b = static_cast<std::byte>(rng());
  return v;
}

std::vector<std::span<const std::byte>> spans(const std::vector<Bytes>& pieces) {
  return {pieces.begin(), pieces.end()};
}

TEST(Codec, RoundTripsEveryElementSizeAndLength) {
  struct Case {
    std::size_t len;
    std::size_t elem;
  };
  const Case cases[] = {{0, 1},           {16, 16},        {4096, 4},
                        {CODEC_CHUNK, 2}, {CODEC_CHUNK + 1, 1}, {CODEC_CHUNK + 16, 16},
                        {3 * CODEC_CHUNK - 8, 8}, {2 * CODEC_CHUNK + 4, 4}};
  for (const Case& c : cases) {
    for (bool compressible : {true, false}) {
      auto data = compressible ? smooth(c.len) : random_bytes(c.len);
      auto pieces = pack(data, c.elem, 1);
      ASSERT_TRUE(pieces) << pieces.error().message();
      EXPECT_EQ(pieces->size(), (c.len + CODEC_CHUNK - 1) / CODEC_CHUNK);
      std::vector<std::byte> back(c.len, std::byte{0x5A});
      auto ok = unpack_into(spans(*pieces), c.elem, back);
      ASSERT_TRUE(ok) << ok.error().message();
      EXPECT_TRUE(back == data) << c.len << " " << c.elem;
    }
  }
}

TEST(Codec, PieceIsOneStandardFrameOfTheShuffledChunk) {
  auto data = smooth(1 << 20);
  Bytes piece;
  ASSERT_TRUE(pack_chunk(data, 4, 3, piece));
  // Decoded by plain zstd, with no help from our code: the frame holds the shuffled bytes.
  EXPECT_EQ(ZSTD_getFrameContentSize(piece.data(), piece.size()), data.size());
  std::vector<std::byte> frame(data.size());
  ASSERT_EQ(ZSTD_decompress(frame.data(), frame.size(), piece.data(), piece.size()), data.size());
  EXPECT_EQ(ZSTD_findFrameCompressedSize(piece.data(), piece.size()), piece.size());
  for (std::size_t i : {std::size_t{0}, std::size_t{12345}, data.size() / 4 - 1})
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(frame[k * (data.size() / 4) + i], data[i * 4 + k]);
  std::vector<std::byte> back(data.size());
  ASSERT_TRUE(unpack_chunk(piece, 4, back));
  EXPECT_TRUE(back == data);
}

TEST(Codec, LevelsChangeOnOneThreadAndDecodingIgnoresThem) {
  auto data = smooth(CODEC_CHUNK);
  std::vector<Bytes> by_level;
  for (int level : {1, 19, -5, 1}) {
    Bytes piece;
    ASSERT_TRUE(pack_chunk(data, 4, level, piece)) << level;
    by_level.push_back(std::move(piece));
  }
  EXPECT_LT(by_level[1].size(), by_level[2].size());  // level 19 beats a fast negative level
  EXPECT_EQ(by_level[0], by_level[3]);
  for (const Bytes& p : by_level) {
    std::vector<std::byte> back(data.size());
    ASSERT_TRUE(unpack_chunk(p, 4, back));
    EXPECT_TRUE(back == data);
  }
}

TEST(Codec, RefusesBadInput) {
  auto data = smooth(24);
  Bytes out;
  std::vector<std::byte> dst(24);
  struct Case {
    Result<void> got;
    const char* text;
  };
  const std::vector<std::byte> big(CODEC_CHUNK + 1);
  Bytes piece;
  ASSERT_TRUE(pack_chunk(data, 4, 1, piece));
  std::vector<std::byte> short_dst(20), long_dst(28);
  Bytes corrupt = piece;
  corrupt[0] = std::byte{0};
  const std::span<const std::byte> one[] = {piece};
  Bytes bytes_piece;  // one-byte elements take the path that decodes straight into place
  ASSERT_TRUE(pack_chunk(data, 1, 1, bytes_piece));
  const std::span<const std::byte> one_bytes[] = {bytes_piece};
  const Case cases[] = {
      {pack_chunk(data, 3, 1, out), "element size 3 does not divide the buffer (24 bytes)"},
      {pack_chunk(data, 0, 1, out), "element size 0 does not divide the buffer (24 bytes)"},
      {pack_chunk(data, 32, 1, out), "element size 32 does not divide the buffer (24 bytes)"},
      {pack_chunk(data, 16, 1, out), "element size 16 does not divide the buffer (24 bytes)"},
      {pack_chunk(big, 1, 1, out), "a piece holds at most 4194304 bytes, got 4194305"},
      {unpack_chunk(piece, 4, short_dst), "Destination buffer is too small"},
      {unpack_chunk(piece, 4, long_dst), "piece length mismatch"},
      {unpack_chunk(corrupt, 4, dst), "Unknown frame descriptor"},
      {unpack_into({}, 4, dst), "expected 1 chunks, got 0"},
      {unpack_into(one, 4, long_dst), "chunk length mismatch"},
      {unpack_into(one_bytes, 1, long_dst), "chunk length mismatch"},
      {unpack_into(one_bytes, 1, short_dst), "chunk length mismatch"},
      {unpack_chunk(bytes_piece, 1, short_dst), "Destination buffer is too small"},
      {unpack_into(one, 3, dst), "element size 3 does not divide the buffer (24 bytes)"},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(c.got) << c.text;
    EXPECT_EQ(c.got.error().kind(), Error::Kind::Io);
    EXPECT_EQ(c.got.error().message(), c.text);
  }
  auto packed = pack(data, 5, 1);
  ASSERT_FALSE(packed);
  EXPECT_EQ(packed.error().message(), "element size 5 does not divide the buffer (24 bytes)");
  // The worker is usable again after every failure.
  std::vector<std::byte> back(24);
  ASSERT_TRUE(unpack_chunk(piece, 4, back));
  EXPECT_TRUE(back == data);
}

TEST(Codec, CorruptPieceFailsTheWholeBuffer) {
  auto data = random_bytes(3 * CODEC_CHUNK);
  auto pieces = pack(data, 1, 1);
  ASSERT_TRUE(pieces);
  (*pieces)[1][0] ^= std::byte{0xFF};  // the frame's magic number
  std::vector<std::byte> back(data.size());
  auto ok = unpack_into(spans(*pieces), 1, back);
  ASSERT_FALSE(ok);
  EXPECT_EQ(ok.error().message(), "Unknown frame descriptor");
}

TEST(Codec, ThreadsPackConcurrently) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      auto data = random_bytes(CODEC_CHUNK + 100 * t, t);
      for (int round = 0; round < 3; ++round) {
        auto pieces = pack(data, 4, 1 + t);
        if (!pieces) return;
        std::vector<std::byte> back(data.size());
        if (unpack_into(spans(*pieces), 4, back) && back == data) ++good;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 12);
}

}  // namespace
}  // namespace pelorin::codec
