#include "codec/shuffle.h"

#include "error/error.h"

#if defined(__SSE2__)
#include <emmintrin.h>
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
#endif

void shuffle2(const std::byte* src, std::size_t n, std::byte* dst) {
  std::byte* p0 = dst;
  std::byte* p1 = dst + n;
  std::size_t i = 0;
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

void shuffle_any(const std::byte* src, std::size_t elem, std::size_t n, std::byte* dst) {
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = 0; k < elem; ++k) dst[k * n + i] = src[i * elem + k];
}

void unshuffle_any(const std::byte* src, std::size_t elem, std::size_t n, std::byte* dst) {
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = 0; k < elem; ++k) dst[i * elem + k] = src[k * n + i];
}

}  // namespace

void shuffle(std::span<const std::byte> src, std::size_t elem, std::span<std::byte> dst) {
  check("shuffle", src.size(), elem, dst.size());
  const std::size_t n = src.size() / elem;
  switch (elem) {
    case 2: shuffle2(src.data(), n, dst.data()); break;
    case 4: shuffle4(src.data(), n, dst.data()); break;
    default: shuffle_any(src.data(), elem, n, dst.data()); break;
  }
}

void unshuffle(std::span<const std::byte> src, std::size_t elem, std::span<std::byte> dst) {
  check("unshuffle", src.size(), elem, dst.size());
  const std::size_t n = src.size() / elem;
  switch (elem) {
    case 2: unshuffle2(src.data(), n, dst.data()); break;
    case 4: unshuffle4(src.data(), n, dst.data()); break;
    default: unshuffle_any(src.data(), elem, n, dst.data()); break;
  }
}

}  // namespace pelorin::codec
