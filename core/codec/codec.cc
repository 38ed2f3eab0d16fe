#include "codec/codec.h"

#include <zstd.h>

#include <algorithm>
#include <utility>

#include "codec/shuffle.h"
#include "pool/parallel.h"

namespace pelorin::codec {

namespace {

// Per-thread zstd state, made on a thread's first chunk and freed when the thread ends.
class Worker {
 public:
  // A worker compressing at `level`; an error from setting the context up is returned.
  static Result<std::unique_ptr<Worker>> create(std::int32_t level) {
    std::unique_ptr<Worker> w(new Worker(level));
    if (w->cctx_ == nullptr || w->dctx_ == nullptr)
      fatal("zstd returned null pointer when creating new context");
    for (std::size_t r : {ZSTD_CCtx_setParameter(w->cctx_, ZSTD_c_compressionLevel, level),
                          ZSTD_CCtx_loadDictionary(w->cctx_, nullptr, 0),
                          ZSTD_DCtx_loadDictionary(w->dctx_, nullptr, 0)}) {
      if (ZSTD_isError(r)) return fail(Error::io(ZSTD_getErrorName(r)));
    }
    return w;
  }

  ~Worker() {
    ZSTD_freeCCtx(cctx_);
    ZSTD_freeDCtx(dctx_);
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  ZSTD_CCtx* cctx() { return cctx_; }
  ZSTD_DCtx* dctx() { return dctx_; }
  std::int32_t level() const { return level_; }
  // Holds one shuffled chunk; kept between calls, so it grows to one chunk at most.
  Bytes& scratch() { return scratch_; }

  bool borrowed = false;

 private:
  explicit Worker(std::int32_t level)
      : cctx_(ZSTD_createCCtx()), dctx_(ZSTD_createDCtx()), level_(level) {}

  ZSTD_CCtx* cctx_;
  ZSTD_DCtx* dctx_;
  std::int32_t level_;
  Bytes scratch_;
};

thread_local std::unique_ptr<Worker> tls_worker;

// Exclusive use of the thread's worker for one chunk operation.
class Borrow {
 public:
  Worker& operator*() const { return *w_; }
  Worker* operator->() const { return w_; }
  ~Borrow() {
    if (w_ != nullptr) w_->borrowed = false;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  // For compression: the worker must use `level`; it is replaced when it does not.
  static Result<Borrow> for_level(std::int32_t level) {
    if (!tls_worker || tls_worker->level() != level) {
      PELORIN_CHECK(!tls_worker || !tls_worker->borrowed, "codec worker used re-entrantly");
      auto w = Worker::create(level);
      if (!w) return fail(w.error());
      tls_worker = std::move(*w);
    }
    return Borrow(tls_worker.get());
  }

  // For decompression any level serves; a thread without a worker gets one at level 3.
  static Result<Borrow> any() {
    if (!tls_worker) return for_level(3);
    return Borrow(tls_worker.get());
  }

  Borrow(Borrow&& other) noexcept : w_(std::exchange(other.w_, nullptr)) {}

 private:
  explicit Borrow(Worker* w) : w_(w) {
    PELORIN_CHECK(!w->borrowed, "codec worker used re-entrantly");
    w->borrowed = true;
  }
  Worker* w_;
};

// Shuffles `src` into the worker's scratch and compresses it into `out`, sized to the bound.
// One-byte elements are their own shuffled form and go to zstd as they are.
Result<void> compress_into(Worker& w, std::span<const std::byte> src, std::size_t elem,
                           Bytes& out) {
  std::span<const std::byte> input = src;
  if (elem != 1) {
    Bytes& scratch = w.scratch();
    scratch.resize(src.size());
    shuffle(src, elem, scratch);
    input = scratch;
  }
  out.clear();
  out.resize(ZSTD_compressBound(src.size()));
  const std::size_t n =
      ZSTD_compress2(w.cctx(), out.data(), out.size(), input.data(), input.size());
  if (ZSTD_isError(n)) {
    out.clear();
    return fail(Error::io(ZSTD_getErrorName(n)));
  }
  out.resize(n);
  return {};
}

std::size_t chunk_count(std::size_t len) { return (len + CODEC_CHUNK - 1) / CODEC_CHUNK; }

}  // namespace

Result<void> check_elem(std::size_t elem, std::size_t len) {
  if (elem < 1 || elem > 16 || CODEC_CHUNK % elem != 0 || len % elem != 0)
    return fail(
        Error::io(fmt::format("element size {} does not divide the buffer ({} bytes)", elem, len)));
  return {};
}

Result<void> pack_chunk(std::span<const std::byte> src, std::size_t elem, std::int32_t level,
                        Bytes& out) {
  if (auto ok = check_elem(elem, src.size()); !ok) return ok;
  if (src.size() > CODEC_CHUNK)
    return fail(Error::io(
        fmt::format("a piece holds at most {} bytes, got {}", CODEC_CHUNK, src.size())));
  auto w = Borrow::for_level(level);
  if (!w) return fail(w.error());
  return compress_into(**w, src, elem, out);
}

Result<void> unpack_chunk(std::span<const std::byte> piece, std::size_t elem,
                          std::span<std::byte> dst) {
  if (auto ok = check_elem(elem, dst.size()); !ok) return ok;
  auto w = Borrow::any();
  if (!w) return fail(w.error());
  // One-byte elements need no unshuffle, so they decompress straight into place.
  Bytes& scratch = (*w)->scratch();
  std::byte* out = dst.data();
  if (elem != 1) {
    scratch.resize(dst.size());
    out = scratch.data();
  }
  const std::size_t n =
      ZSTD_decompressDCtx((*w)->dctx(), out, dst.size(), piece.data(), piece.size());
  if (ZSTD_isError(n)) return fail(Error::io(ZSTD_getErrorName(n)));
  if (n != dst.size()) return fail(Error::io("piece length mismatch"));
  if (elem != 1) unshuffle(scratch, elem, dst);
  return {};
}

Result<std::vector<Bytes>> pack(std::span<const std::byte> src, std::size_t elem,
                                std::int32_t level) {
  if (auto ok = check_elem(elem, src.size()); !ok) return fail(ok.error());
  std::vector<Bytes> pieces(chunk_count(src.size()));
  auto done = pool::for_each_until_error(pieces.size(), [&](std::size_t i) -> Result<void> {
    auto w = Borrow::for_level(level);
    if (!w) return fail(w.error());
    const std::size_t off = i * CODEC_CHUNK;
    return compress_into(**w, src.subspan(off, std::min(CODEC_CHUNK, src.size() - off)), elem,
                         pieces[i]);
  });
  if (!done) return fail(std::move(done.error()));
  return pieces;
}

Result<void> unpack_into(std::span<const std::span<const std::byte>> pieces, std::size_t elem,
                         std::span<std::byte> dst) {
  if (auto ok = check_elem(elem, dst.size()); !ok) return ok;
  const std::size_t expected = chunk_count(dst.size());
  if (pieces.size() != expected)
    return fail(Error::io(fmt::format("expected {} chunks, got {}", expected, pieces.size())));
  return pool::for_each_until_error(expected, [&](std::size_t i) -> Result<void> {
    auto w = Borrow::any();
    if (!w) return fail(w.error());
    const std::size_t off = i * CODEC_CHUNK;
    std::span<std::byte> chunk = dst.subspan(off, std::min(CODEC_CHUNK, dst.size() - off));
    const std::span<const std::byte> piece = pieces[i];
    if (elem == 1) {
      // Straight into place; a frame that names another size is refused before decoding.
      const unsigned long long size = ZSTD_getFrameContentSize(piece.data(), piece.size());
      if (size != ZSTD_CONTENTSIZE_UNKNOWN && size != ZSTD_CONTENTSIZE_ERROR &&
          size != chunk.size())
        return fail(Error::io("chunk length mismatch"));
      const std::size_t n = ZSTD_decompressDCtx((*w)->dctx(), chunk.data(), chunk.size(),
                                                piece.data(), piece.size());
      if (ZSTD_isError(n)) return fail(Error::io(ZSTD_getErrorName(n)));
      if (n != chunk.size()) return fail(Error::io("chunk length mismatch"));
      return {};
    }
    Bytes& scratch = (*w)->scratch();
    scratch.resize(chunk.size());
    const std::size_t n = ZSTD_decompressDCtx((*w)->dctx(), scratch.data(), scratch.capacity(),
                                              piece.data(), piece.size());
    if (ZSTD_isError(n)) return fail(Error::io(ZSTD_getErrorName(n)));
    if (n != chunk.size()) return fail(Error::io("chunk length mismatch"));
    unshuffle(scratch, elem, chunk);
    return {};
  });
}

}  // namespace pelorin::codec
