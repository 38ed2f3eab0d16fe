#include "codec/shuffle.h"

#include <cstring>

#include "error/error.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#define PELORIN_HAVE_AVX2_PATH 1
#endif

namespace pelorin::codec {
namespace {

// Checked before any byte is written, so a refused call leaves `dst` as it was.
void check(const char* what, std::size_t src_len, std::size_t elem, std::size_t dst_len) {
  PELORIN_CHECK(src_len == dst_len,
                "{}: source of {} bytes and destination of {} bytes differ in length", what,
                src_len, dst_len);
  PELORIN_CHECK(elem != 0, "{}: element size 0 is not valid", what);
  PELORIN_CHECK(src_len % elem == 0, "{}: {} bytes are not a whole number of {}-byte elements",
                what, src_len, elem);
}

#if defined(__SSE2__)
inline __m128i load(const std::byte* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void store(std::byte* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Of each 16-bit lane of a and b: the low bytes (lo) and the high bytes (hi), a's first.
inline void split16(__m128i a, __m128i b, __m128i& lo, __m128i& hi) {
  const __m128i mask = _mm_set1_epi16(0x00ff);
  lo = _mm_packus_epi16(_mm_and_si128(a, mask), _mm_and_si128(b, mask));
  hi = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
}

// Read the bits of a byte's place as (register, byte). This round (pairs j, j + N/2 to
// 2j, 2j+1) rotates that index left by one bit, so a few rounds make a transpose. Measured
// faster than even/odd splits with packus, which also need a mask or shift per input.
template <int N>
inline void unpack_round(__m128i (&v)[N]) {
  __m128i t[N];
  for (int j = 0; j < N / 2; ++j) {
    t[2 * j] = _mm_unpacklo_epi8(v[j], v[j + N / 2]);
    t[2 * j + 1] = _mm_unpackhi_epi8(v[j], v[j + N / 2]);
  }
  for (int j = 0; j < N; ++j) v[j] = t[j];
}
#endif

#if defined(PELORIN_HAVE_AVX2_PATH)
// The machine may have AVX2 even though the build targets baseline x86-64: these loops are
// compiled for it and chosen at run time. Each returns how many elements it handled.
bool has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}

__attribute__((target("avx2"))) std::size_t shuffle2_avx2(const std::byte* src, std::size_t n,
                                                         std::byte* dst) {
  // Per 128-bit lane: the 8 even bytes, then the 8 odd bytes.
  const __m256i split = _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15,
                                         0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const auto* s = reinterpret_cast<const __m256i*>(src + 2 * i);
    // [even 16 | odd 16] for each half of the 32 elements
    const __m256i a = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(_mm256_loadu_si256(s), split),
                                               0xD8);
    const __m256i b = _mm256_permute4x64_epi64(
        _mm256_shuffle_epi8(_mm256_loadu_si256(s + 1), split), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n + i),
                        _mm256_permute2x128_si256(a, b, 0x31));
  }
  return i;
}

__attribute__((target("avx2"))) std::size_t shuffle4_avx2(const std::byte* src, std::size_t n,
                                                         std::byte* dst) {
  // Per 128-bit lane: byte 0 of its 4 elements, then byte 1, byte 2, byte 3.
  const __m256i group = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,
                                         0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  // Then the two lanes' dwords of each plane side by side: 8 bytes of planes 0, 1, 2, 3.
  const __m256i join = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const auto* s = reinterpret_cast<const __m256i*>(src + 4 * i);
    __m256i r[4];
    for (int k = 0; k < 4; ++k)
      r[k] = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(s + k), group),
                                         join);
    // A 4 x 4 transpose of 8-byte blocks: block k of every r is plane k.
    const __m256i t0 = _mm256_unpacklo_epi64(r[0], r[1]);  // planes 0 | 2
    const __m256i t1 = _mm256_unpackhi_epi64(r[0], r[1]);  // planes 1 | 3
    const __m256i t2 = _mm256_unpacklo_epi64(r[2], r[3]);
    const __m256i t3 = _mm256_unpackhi_epi64(r[2], r[3]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_permute2x128_si256(t0, t2, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n + i),
                        _mm256_permute2x128_si256(t1, t3, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * n + i),
                        _mm256_permute2x128_si256(t0, t2, 0x31));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 3 * n + i),
                        _mm256_permute2x128_si256(t1, t3, 0x31));
  }
  return i;
}

// The round above, on both 128-bit lanes at once. The wide loops below keep elements
// i..i+15 in the low lanes and i+16..i+31 in the high lanes, so no value crosses lanes.
template <int N>
__attribute__((target("avx2"))) inline void unpack_round(__m256i (&v)[N]) {
  __m256i t[N];
  for (int j = 0; j < N / 2; ++j) {
    t[2 * j] = _mm256_unpacklo_epi8(v[j], v[j + N / 2]);
    t[2 * j + 1] = _mm256_unpackhi_epi8(v[j], v[j + N / 2]);
  }
  for (int j = 0; j < N; ++j) v[j] = t[j];
}

// 16 bytes at lo into the low lane, 16 at hi into the high lane.
__attribute__((target("avx2"))) inline __m256i load_lanes(const std::byte* lo,
                                                          const std::byte* hi) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(load(lo)), load(hi), 1);
}

__attribute__((target("avx2"))) inline void store_lanes(std::byte* lo, std::byte* hi,
                                                        __m256i v) {
  store(lo, _mm256_castsi256_si128(v));
  store(hi, _mm256_extracti128_si256(v, 1));
}

__attribute__((target("avx2"))) inline __m256i load256(const std::byte* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) inline void store256(std::byte* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

__attribute__((target("avx2"))) std::size_t shuffle8_avx2(const std::byte* src, std::size_t n,
                                                         std::byte* dst) {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const std::byte* s = src + 8 * i;
    __m256i v[8];
    for (int j = 0; j < 8; ++j) v[j] = load_lanes(s + 16 * j, s + 128 + 16 * j);
    // Per lane (register, byte) is (element / 2, element % 2, byte); four left turns
    // give (byte, element).
    for (int round = 0; round < 4; ++round) unpack_round(v);
    for (int k = 0; k < 8; ++k) store256(dst + k * n + i, v[k]);
  }
  return i;
}

__attribute__((target("avx2"))) std::size_t unshuffle8_avx2(const std::byte* src,
                                                           std::size_t n, std::byte* dst) {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i v[8];
    for (int k = 0; k < 8; ++k) v[k] = load256(src + k * n + i);
    for (int round = 0; round < 3; ++round) unpack_round(v);
    std::byte* d = dst + 8 * i;
    for (int j = 0; j < 8; ++j) store_lanes(d + 16 * j, d + 128 + 16 * j, v[j]);
  }
  return i;
}

// For 16-byte elements, a 16 x 16 byte transpose per lane. These rounds leave the low half
// of pair (j, j + M) at j and the high half at j + M; the round on bit 3 of the register
// index goes first (shuffle) or last (unshuffle), so the other three work on 8 registers.
template <int M>
__attribute__((target("avx2"))) inline void unpack_in_place(__m256i (&v)[8]) {
  for (int j = 0; j < 8; ++j) {
    if ((j & M) != 0) continue;
    const __m256i a = v[j];
    const __m256i b = v[j + M];
    v[j] = _mm256_unpacklo_epi8(a, b);
    v[j + M] = _mm256_unpackhi_epi8(a, b);
  }
}

__attribute__((target("avx2"))) inline void unpack_in_place3(__m256i (&v)[8]) {
  unpack_in_place<4>(v);
  unpack_in_place<2>(v);
  unpack_in_place<1>(v);
}

// Planes 0-7 (or 8-15 for kHigh) of the 32 elements at s: element j meets j + 8 first.
template <bool kHigh>
__attribute__((target("avx2"))) inline void shuffle16_half(const std::byte* s, std::byte* d,
                                                          std::size_t n) {
  __m256i v[8];
  for (int j = 0; j < 8; ++j) {
    const __m256i a = load_lanes(s + 16 * j, s + 256 + 16 * j);
    const __m256i b = load_lanes(s + 128 + 16 * j, s + 384 + 16 * j);
    v[j] = kHigh ? _mm256_unpackhi_epi8(a, b) : _mm256_unpacklo_epi8(a, b);
  }
  unpack_in_place3(v);
  for (int k = 0; k < 8; ++k) store256(d + k * n, v[k]);
}

// The even (odd = 0) or odd planes of 32 elements, three rounds in.
__attribute__((target("avx2"))) inline void unshuffle16_half(const std::byte* s, std::size_t n,
                                                            int odd, __m256i (&v)[8]) {
  for (int r = 0; r < 8; ++r) v[r] = load256(s + (2 * r + odd) * n);
  unpack_in_place3(v);
}

// The last round: pair r of it holds elements 2r and 2r + 1 of each lane.
__attribute__((target("avx2"))) inline void unshuffle16_join(const __m256i (&even)[8],
                                                            const __m256i (&odd)[8],
                                                            std::byte* d) {
  for (int r = 0; r < 8; ++r) {
    store_lanes(d + 32 * r, d + 256 + 32 * r, _mm256_unpacklo_epi8(even[r], odd[r]));
    store_lanes(d + 32 * r + 16, d + 256 + 32 * r + 16, _mm256_unpackhi_epi8(even[r], odd[r]));
  }
}

// Planes of a power-of-two span share cache sets, and 16 of them outnumber the ways: lines
// are evicted half written and prefetched ones before use. So a chunk is done in two
// passes of 8 planes each; the second re-reads from L1 the chunk's source (shuffle) or
// the first pass's results, kept in a 4 KiB stack array (unshuffle).
constexpr std::size_t kChunk16 = 512;

__attribute__((target("avx2"))) std::size_t shuffle16_avx2(const std::byte* src,
                                                          std::size_t n, std::byte* dst) {
  std::size_t i = 0;
  for (; i + kChunk16 <= n; i += kChunk16) {
    for (std::size_t c = i; c < i + kChunk16; c += 32)
      shuffle16_half<false>(src + 16 * c, dst + c, n);
    for (std::size_t c = i; c < i + kChunk16; c += 32)
      shuffle16_half<true>(src + 16 * c, dst + 8 * n + c, n);
  }
  for (; i + 32 <= n; i += 32) {
    shuffle16_half<false>(src + 16 * i, dst + i, n);
    shuffle16_half<true>(src + 16 * i, dst + 8 * n + i, n);
  }
  return i;
}

__attribute__((target("avx2"))) std::size_t unshuffle16_avx2(const std::byte* src,
                                                            std::size_t n, std::byte* dst) {
  __m256i even[kChunk16 / 32][8];
  std::size_t i = 0;
  for (; i + kChunk16 <= n; i += kChunk16) {
    for (std::size_t c = 0; c < kChunk16 / 32; ++c)
      unshuffle16_half(src + i + 32 * c, n, 0, even[c]);
    for (std::size_t c = 0; c < kChunk16 / 32; ++c) {
      __m256i odd[8];
      unshuffle16_half(src + i + 32 * c, n, 1, odd);
      unshuffle16_join(even[c], odd, dst + 16 * (i + 32 * c));
    }
  }
  for (; i + 32 <= n; i += 32) {
    __m256i odd[8];
    unshuffle16_half(src + i, n, 0, even[0]);
    unshuffle16_half(src + i, n, 1, odd);
    unshuffle16_join(even[0], odd, dst + 16 * i);
  }
  return i;
}
#endif

void shuffle2(const std::byte* src, std::size_t n, std::byte* dst) {
  std::byte* p0 = dst;
  std::byte* p1 = dst + n;
  std::size_t i = 0;
#if defined(PELORIN_HAVE_AVX2_PATH)
  if (has_avx2()) i = shuffle2_avx2(src, n, dst);
#endif
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    __m128i lo, hi;
    split16(load(src + 2 * i), load(src + 2 * i + 16), lo, hi);
    store(p0 + i, lo);
    store(p1 + i, hi);
  }
#endif
  for (; i < n; ++i) {
    p0[i] = src[2 * i];
    p1[i] = src[2 * i + 1];
  }
}

void unshuffle2(const std::byte* src, std::size_t n, std::byte* dst) {
  const std::byte* p0 = src;
  const std::byte* p1 = src + n;
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i a = load(p0 + i);
    const __m128i b = load(p1 + i);
    store(dst + 2 * i, _mm_unpacklo_epi8(a, b));
    store(dst + 2 * i + 16, _mm_unpackhi_epi8(a, b));
  }
#endif
  for (; i < n; ++i) {
    dst[2 * i] = p0[i];
    dst[2 * i + 1] = p1[i];
  }
}

void shuffle4(const std::byte* src, std::size_t n, std::byte* dst) {
  std::byte* p0 = dst;
  std::byte* p1 = dst + n;
  std::byte* p2 = dst + 2 * n;
  std::byte* p3 = dst + 3 * n;
  std::size_t i = 0;
#if defined(PELORIN_HAVE_AVX2_PATH)
  if (has_avx2()) i = shuffle4_avx2(src, n, dst);
#endif
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const std::byte* s = src + 4 * i;
    // First pass: bytes 0,2 and 1,3 of each element; second pass splits those again.
    __m128i even0, odd0, even1, odd1;
    split16(load(s), load(s + 16), even0, odd0);
    split16(load(s + 32), load(s + 48), even1, odd1);
    __m128i b0, b1, b2, b3;
    split16(even0, even1, b0, b2);
    split16(odd0, odd1, b1, b3);
    store(p0 + i, b0);
    store(p1 + i, b1);
    store(p2 + i, b2);
    store(p3 + i, b3);
  }
#endif
  for (; i < n; ++i) {
    p0[i] = src[4 * i];
    p1[i] = src[4 * i + 1];
    p2[i] = src[4 * i + 2];
    p3[i] = src[4 * i + 3];
  }
}

void unshuffle4(const std::byte* src, std::size_t n, std::byte* dst) {
  const std::byte* p0 = src;
  const std::byte* p1 = src + n;
  const std::byte* p2 = src + 2 * n;
  const std::byte* p3 = src + 3 * n;
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i b0 = load(p0 + i);
    const __m128i b1 = load(p1 + i);
    const __m128i b2 = load(p2 + i);
    const __m128i b3 = load(p3 + i);
    // Pairs (byte 0, byte 1) and (byte 2, byte 3) per element, then the pairs joined.
    const __m128i lo01 = _mm_unpacklo_epi8(b0, b1);
    const __m128i hi01 = _mm_unpackhi_epi8(b0, b1);
    const __m128i lo23 = _mm_unpacklo_epi8(b2, b3);
    const __m128i hi23 = _mm_unpackhi_epi8(b2, b3);
    std::byte* d = dst + 4 * i;
    store(d, _mm_unpacklo_epi16(lo01, lo23));
    store(d + 16, _mm_unpackhi_epi16(lo01, lo23));
    store(d + 32, _mm_unpacklo_epi16(hi01, hi23));
    store(d + 48, _mm_unpackhi_epi16(hi01, hi23));
  }
#endif
  for (; i < n; ++i) {
    dst[4 * i] = p0[i];
    dst[4 * i + 1] = p1[i];
    dst[4 * i + 2] = p2[i];
    dst[4 * i + 3] = p3[i];
  }
}

// Elements from `first` on; also the tail after the vector loops.
void shuffle_any(const std::byte* src, std::size_t elem, std::size_t n, std::byte* dst,
                 std::size_t first = 0) {
  for (std::size_t i = first; i < n; ++i)
    for (std::size_t k = 0; k < elem; ++k) dst[k * n + i] = src[i * elem + k];
}

void unshuffle_any(const std::byte* src, std::size_t elem, std::size_t n, std::byte* dst,
                   std::size_t first = 0) {
  for (std::size_t i = first; i < n; ++i)
    for (std::size_t k = 0; k < elem; ++k) dst[i * elem + k] = src[k * n + i];
}

void shuffle8(const std::byte* src, std::size_t n, std::byte* dst) {
  std::size_t i = 0;
#if defined(PELORIN_HAVE_AVX2_PATH)
  if (has_avx2()) i = shuffle8_avx2(src, n, dst);
#endif
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const std::byte* s = src + 8 * i;
    __m128i v[8];
    for (int j = 0; j < 8; ++j) v[j] = load(s + 16 * j);
    for (int round = 0; round < 4; ++round) unpack_round(v);
    for (int k = 0; k < 8; ++k) store(dst + k * n + i, v[k]);
  }
#endif
  shuffle_any(src, 8, n, dst, i);
}

void unshuffle8(const std::byte* src, std::size_t n, std::byte* dst) {
  std::size_t i = 0;
#if defined(PELORIN_HAVE_AVX2_PATH)
  if (has_avx2()) i = unshuffle8_avx2(src, n, dst);
#endif
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    __m128i v[8];
    for (int k = 0; k < 8; ++k) v[k] = load(src + k * n + i);
    for (int round = 0; round < 3; ++round) unpack_round(v);
    for (int j = 0; j < 8; ++j) store(dst + 8 * i + 16 * j, v[j]);
  }
#endif
  unshuffle_any(src, 8, n, dst, i);
}

void shuffle16(const std::byte* src, std::size_t n, std::byte* dst) {
  std::size_t i = 0;
#if defined(PELORIN_HAVE_AVX2_PATH)
  if (has_avx2()) i = shuffle16_avx2(src, n, dst);
#endif
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    __m128i v[16];
    for (int j = 0; j < 16; ++j) v[j] = load(src + 16 * (i + j));
    for (int round = 0; round < 4; ++round) unpack_round(v);
    for (int k = 0; k < 16; ++k) store(dst + k * n + i, v[k]);
  }
#endif
  shuffle_any(src, 16, n, dst, i);
}

void unshuffle16(const std::byte* src, std::size_t n, std::byte* dst) {
  std::size_t i = 0;
#if defined(PELORIN_HAVE_AVX2_PATH)
  if (has_avx2()) i = unshuffle16_avx2(src, n, dst);
#endif
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    __m128i v[16];
    for (int k = 0; k < 16; ++k) v[k] = load(src + k * n + i);
    for (int round = 0; round < 4; ++round) unpack_round(v);
    for (int j = 0; j < 16; ++j) store(dst + 16 * (i + j), v[j]);
  }
#endif
  unshuffle_any(src, 16, n, dst, i);
}

}  // namespace

void shuffle(std::span<const std::byte> src, std::size_t elem, std::span<std::byte> dst) {
  check("shuffle", src.size(), elem, dst.size());
  const std::size_t n = src.size() / elem;
  switch (elem) {
    case 1:  // one plane: the bytes as they are
      if (n != 0) std::memcpy(dst.data(), src.data(), n);
      break;
    case 2: shuffle2(src.data(), n, dst.data()); break;
    case 4: shuffle4(src.data(), n, dst.data()); break;
    case 8: shuffle8(src.data(), n, dst.data()); break;
    case 16: shuffle16(src.data(), n, dst.data()); break;
    default: shuffle_any(src.data(), elem, n, dst.data()); break;
  }
}

void unshuffle(std::span<const std::byte> src, std::size_t elem, std::span<std::byte> dst) {
  check("unshuffle", src.size(), elem, dst.size());
  const std::size_t n = src.size() / elem;
  switch (elem) {
    case 1:  // one plane: the bytes as they are
      if (n != 0) std::memcpy(dst.data(), src.data(), n);
      break;
    case 2: unshuffle2(src.data(), n, dst.data()); break;
    case 4: unshuffle4(src.data(), n, dst.data()); break;
    case 8: unshuffle8(src.data(), n, dst.data()); break;
    case 16: unshuffle16(src.data(), n, dst.data()); break;
    default: unshuffle_any(src.data(), elem, n, dst.data()); break;
  }
}

}  // namespace pelorin::codec
