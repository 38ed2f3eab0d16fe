// Compressed buffers: a resident region becomes pieces (giving its pages back as it goes)
// and pieces become a fresh region again.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "codec/codec.h"
#include "platform/platform.h"
#include "rt/internal.h"

namespace pelorin::rt {

namespace testing {
namespace {
std::atomic<int> fail_after{-1};  // pieces before the injected failure; -1: off
std::atomic<bool> fail_undo{false};
}  // namespace

void fail_next_compression(int pieces, bool undo) {
  fail_undo.store(undo);
  fail_after.store(pieces);
}
}  // namespace testing

namespace {

constexpr std::uint64_t kPiece = codec::CODEC_CHUNK;
constexpr std::uint64_t kProbe = 1048576;

// The output vector of pack_chunk for this thread, kept between compressions.
codec::Bytes& thread_piece() {
  thread_local codec::Bytes piece;
  return piece;
}

// Puts pieces back into `region`; fails only when the codec does.
Result<void> undo(Region& region, const std::vector<Piece>& pieces, std::uint64_t elem,
                  bool injected) {
  std::uint64_t off = 0;
  for (const Piece& p : pieces) {
    auto dst = region.bytes().subspan(off, p.raw_len);
    const auto src = std::span<const std::byte>(p.region.ptr(), p.region.size());
    if (p.raw) {
      std::memcpy(dst.data(), src.data(), src.size());
    } else {
      if (injected) return fail(Error::io("injected failure"));
      if (auto ok = codec::unpack_chunk(src, elem, dst); !ok) return ok;
    }
    off += p.raw_len;
  }
  return {};
}

// Compresses `region` piece by piece, releasing each chunk's pages once its piece is made.
// On failure the region is put back as it was (or, if even that fails, the error says so
// through `undo_error`).
Result<Packed> pack_region(Region& region, std::uint64_t elem, std::int32_t level,
                           std::optional<Error>& undo_error) {
  Packed packed;
  const std::uint64_t n = region.size();
  int injected = testing::fail_after.exchange(-1);
  const bool undo_fails = injected >= 0 && testing::fail_undo.exchange(false);
  Error failure = Error::io("");
  bool failed = false;
  for (std::uint64_t off = 0; off < n; off += kPiece) {
    const std::uint64_t len = std::min(kPiece, n - off);
    const auto chunk = std::span<const std::byte>(region.ptr() + off, len);
    if (injected == 0) {
      failure = Error::io("injected failure");
      failed = true;
      break;
    }
    if (injected > 0) --injected;
    codec::Bytes& piece = thread_piece();
    if (auto ok = codec::pack_chunk(chunk, elem, level, piece); !ok) {
      failure = ok.error();
      failed = true;
      break;
    }
    const bool raw = piece.size() >= len;
    auto r = Region::create(raw ? len : piece.size());
    if (!r) {
      failure = r.error();
      failed = true;
      break;
    }
    r->copy_from(raw ? chunk : std::span<const std::byte>(piece.data(), piece.size()));
    packed.stored += r->len();
    packed.pieces.push_back(Piece{std::move(*r), len, raw});
    // The last chunk also takes the partly used page and the region's tail.
    region.release(off, off + len >= n ? region.len() : off + len);
  }
  if (!failed) return packed;
  if (auto ok = undo(region, packed.pieces, elem, undo_fails); !ok) undo_error = ok.error();
  return fail(failure);
}

}  // namespace

double probe_ratio(std::span<const std::byte> data, std::uint64_t elem, std::int32_t level) {
  std::uint64_t len = std::min<std::uint64_t>(data.size(), kProbe);
  if (elem == 0) return 1.0;
  len -= len % elem;
  if (len < elem) return 1.0;
  codec::Bytes& piece = thread_piece();
  if (!codec::pack_chunk(data.first(len), elem, level, piece) || piece.empty()) return 1.0;
  return static_cast<double>(len) / static_cast<double>(piece.size());
}

void compress(Shared& s, Guard& g, std::uint64_t id) {
  Buf& b = g->bufs.at(id);
  Region* rp = std::get_if<Region>(&b.data);
  PELORIN_CHECK(rp != nullptr, "buffer {} chosen for compression is not resident", id);
  Region region = std::move(*rp);
  b.data = Absent{};
  b.busy = true;
  const bool was_prefetched = b.prefetched;
  b.prefetched = b.reused = b.seen = false;
  const std::uint64_t elem = b.elem, nbytes = b.nbytes, source_len = region.len();
  const std::int32_t level = s.opts.compress_level;

  const double t0 = now_seconds();
  std::optional<Error> undo_error;
  Result<Packed> packed = unlocked(
      s, g, [&] { return pack_region(region, elem, level, undo_error); },
      [&] {
        Buf& back = g->bufs.at(id);
        back.busy = false;
        back.broken = "could not undo compression: the compression did not finish";
        g->used -= source_len;
      });
  const double elapsed = now_seconds() - t0;

  Buf& back = g->bufs.at(id);
  back.busy = false;
  if (packed) {
    back.ratio = static_cast<double>(nbytes) / static_cast<double>(std::max<std::uint64_t>(packed->stored, 1));
    g->used = g->used + packed->stored - source_len;
    back.data = std::move(*packed);
    auto& st = g->stats;
    st.compressions += 1;
    st.compress_in += nbytes;
    st.compress_out += std::get<Packed>(back.data).stored;
    st.compress_seconds += elapsed;
    st.evictions += 1;
    if (was_prefetched) st.prefetch_wasted += 1;
    g->stats.peak_used = std::max(g->stats.peak_used, g->used);
    g->compress_rate.update(static_cast<double>(nbytes), elapsed);
  } else if (undo_error) {
    // The bytes are gone: never hand out the zeros left in their place. A buffer with a
    // way back is only dropped; any other becomes unusable until it is freed.
    g->used -= source_len;
    if (!back.rereadable() && !back.recomputable())
      back.broken = "could not undo compression: " + undo_error->message();
    g->stats.drops += back.broken ? 0 : 1;
  } else {
    back.data = std::move(region);
    back.incompressible = true;
    g->stats.incompressible += 1;
  }
  s.broadcast();
}

Result<bool> restore_packed(Shared& s, Guard& g, std::uint64_t id, bool for_prefetch,
                            double next_use) {
  const std::uint64_t need = platform::round_up_to_pages(g->bufs.at(id).nbytes);
  if (auto room = make_room(s, g, need, id, for_prefetch, next_use, true); !room)
    return fail(room.error());
  auto it = g->bufs.find(id);
  if (it == g->bufs.end())
    return fail(Error::invalid_argument(fmt::format("unknown buffer {}", id)));
  Buf& b = it->second;
  if (b.busy || !b.packed()) return false;
  Packed packed = std::move(std::get<Packed>(b.data));
  b.data = Absent{};
  b.busy = true;
  const std::uint64_t nbytes = b.nbytes, elem = b.elem;
  g->used += need;
  g->stats.peak_used = std::max(g->stats.peak_used, g->used);

  const double t0 = now_seconds();
  auto unpack = [&]() -> Result<Region> {
    auto region = Region::create(nbytes, platform::Populate::Now);
    if (!region) return fail(region.error());
    std::uint64_t off = 0;
    for (const Piece& p : packed.pieces) {
      if (off + p.raw_len > nbytes || (p.raw && p.region.size() < p.raw_len))
        return fail(Error::integrity("compressed pieces do not add up"));
      auto dst = region->bytes().subspan(off, p.raw_len);
      const auto src = std::span<const std::byte>(p.region.ptr(), p.region.size());
      if (p.raw) {
        std::memcpy(dst.data(), src.data(), p.raw_len);
      } else if (auto ok = codec::unpack_chunk(src, elem, dst); !ok) {
        return fail(Error::integrity("compressed data is damaged: " + ok.error().message()));
      }
      off += p.raw_len;
    }
    if (off != nbytes) return fail(Error::integrity("compressed pieces do not add up"));
    return region;
  };
  Result<Region> restored = unlocked(s, g, unpack, [&] {
    Buf& back = g->bufs.at(id);
    back.busy = false;
    back.data = std::move(packed);
    g->used -= need;
  });
  const double elapsed = now_seconds() - t0;

  Buf& back = g->bufs.at(id);
  back.busy = false;
  if (!restored) {
    back.data = std::move(packed);
    g->used -= need;
    s.broadcast();
    return fail(restored.error());
  }
  back.data = std::move(*restored);
  g->used -= packed.stored;
  auto& st = g->stats;
  st.decompressions += 1;
  st.decompress_bytes += nbytes;
  st.decompress_seconds += elapsed;
  g->decompress_rate.update(static_cast<double>(nbytes), elapsed);
  s.broadcast();
  return true;  // `packed` goes here and unmaps its pieces
}

}  // namespace pelorin::rt
