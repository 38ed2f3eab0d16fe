// Spill files: a buffer written whole to a fresh file of its own, with its digest, and
// regions of such files read back and checked against the digest recorded for them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "error/error.h"
#include "spill/digest.h"

namespace pelorin::spill {

// Spill files made by this process so far; each takes the next value for its name.
extern std::atomic<std::uint64_t> COUNTER;

struct Spilled {
  std::string path;
  Digest digest;
  std::uint64_t length;
};

// One chunk of a range cut as the digest cuts buffers.
struct Chunk {
  std::size_t index;
  std::uint64_t offset;  // from the start of the range
  std::size_t size;
};

// Runs `body` once for every chunk of a `length`-byte range, in parallel with
// tbb::parallel_for on the calling thread's arena. Once a chunk has failed no further
// chunk starts; the first error recorded is the result. Any thread.
Result<void> for_each_chunk(std::uint64_t length,
                            const std::function<Result<void>(const Chunk&)>& body);

// Creates `path` (never following or replacing an existing path or link: EEXIST), then
// writes `data` to it from the spill write pool and returns its digest. On any failure
// after the file was created it is removed again. No fsync. Any thread.
Result<Spilled> write_new_file(const std::string& path, std::span<const std::byte> data);

// Fills `dst` from `fd` starting at `offset`, chunk by chunk in parallel on the calling
// thread's arena, and returns the digest of what was read. Fails with Integrity when
// `expected` is given and is not that digest (dst then holds what was read). On an I/O
// error dst may be partly filled. With `uncached`, each chunk's cached pages are dropped
// once it has been read. With `populate`, each chunk of dst is made present just before
// it is read into (for fresh memory mapped with Populate::ByFiller). Any thread.
Result<Digest> read_region(int fd, std::uint64_t offset, std::span<std::byte> dst,
                           std::optional<std::span<const std::byte>> expected,
                           bool uncached = false, bool populate = false);

// Spill file operations; no state of its own.
class Engine {
 public:
  // Writes `data` to a new file "{pid}-{ns since epoch}-{counter}.plspill" in
  // `directory` and returns where it went and its digest. Any thread.
  static Result<Spilled> write(std::span<const std::byte> data, const std::string& directory);

  // Reads `length` bytes at `offset` of the file at `path` into `dst` (which must be
  // `length` bytes) and returns their digest, checked against `expected` when given.
  // Fails with Integrity when the file is too short for the region. Any thread.
  static Result<Digest> read_source_into(const std::string& path, std::uint64_t offset,
                                         std::uint64_t length, std::span<std::byte> dst,
                                         const std::optional<std::span<const std::byte>>& expected);
};

}  // namespace pelorin::spill
