// Byte shuffle: regroups fixed-size elements into byte planes so that bytes of equal
// significance sit next to each other, which general-purpose compressors handle better.
#pragma once

#include <cstddef>
#include <span>

namespace pelorin::codec {

// Splits `src`, a run of `elem`-byte elements, into `elem` planes of one byte per element:
// dst[k * n + i] = src[i * elem + k] for n = src.size() / elem. Spans must not overlap.
// Fatal unless dst.size() == src.size(), elem != 0 and elem divides the size.
void shuffle(std::span<const std::byte> src, std::size_t elem, std::span<std::byte> dst);

// The inverse of shuffle: dst[i * elem + k] = src[k * n + i]. Same preconditions.
void unshuffle(std::span<const std::byte> src, std::size_t elem, std::span<std::byte> dst);

}  // namespace pelorin::codec
