// One buffer of the runtime's table and the forms its bytes take.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <optional>
#include <variant>
#include <vector>

#include "rt/region.h"

namespace pelorin::rt {

// One compressed 4 MiB chunk of a buffer.
struct Piece {
  Region region;         // size = bytes stored
  std::uint64_t raw_len;  // length of the chunk it restores
  bool raw;               // the region holds the chunk unchanged, not a codec piece
};

// The compressed form of a buffer: one piece per chunk, in order.
struct Packed {
  std::vector<Piece> pieces;
  std::uint64_t stored = 0;  // mapped length of all piece regions, charged in `used`
};

// No bytes in memory.
struct Absent {};

// How a derived buffer is computed again from its inputs.
struct LineageFunc;
struct Lineage {
  std::vector<std::uint64_t> inputs;
  std::array<std::byte, 16> digest{};  // of the bytes the function produced
  std::shared_ptr<LineageFunc> func;
  double seconds = 0.0;  // estimated time to compute it
};

// The file region a file-backed buffer is read from.
struct SourceFile;
struct Source {
  std::optional<std::array<std::byte, 16>> digest;  // recorded by the first load
  std::shared_ptr<SourceFile> file;
  std::uint64_t offset = 0;
};

// Resident data is a Region whose first `nbytes` bytes are the buffer.
using Data = std::variant<Absent, Region, Packed>;

struct Buf {
  std::optional<double> ratio;           // known compression ratio (input per stored byte)
  std::optional<std::uint64_t> next;     // buffer whose recorded pin followed this one's
  std::vector<std::uint64_t> dependents;  // derived buffers naming this one as an input
  std::optional<Lineage> lineage;
  Data data;
  std::optional<Source> source;
  std::uint64_t nbytes = 0;
  std::uint64_t elem = 1;
  std::uint64_t tick = 0;      // Inner::tick at the last recorded pin
  double interval = 0.0;       // smoothed ticks between recorded pins; 0 = no estimate
  std::uint64_t uses = 0;      // recorded pins
  std::uint32_t pins = 0;      // pins held now, of any kind
  bool written = false;
  bool busy = false;           // a thread works on it with the lock released
  bool incompressible = false;
  bool prefetched = false;
  bool reused = false;
  bool seen = false;
  // Set when a failed compression could not put the bytes back: the data is gone and
  // every pin fails with this text until the buffer is freed.
  std::optional<std::string> broken;

  bool resident() const { return std::holds_alternative<Region>(data); }
  bool packed() const { return std::holds_alternative<Packed>(data); }
  bool has_data() const { return !std::holds_alternative<Absent>(data); }
  // Can be read again from its file, verified against the digest of the first load.
  bool rereadable() const { return source && source->digest && !written; }
  bool recomputable() const { return lineage.has_value(); }
};

// Bytes `used` accounts for the buffer's data.
inline std::uint64_t held_size(const Data& d) {
  if (const Region* r = std::get_if<Region>(&d)) return r->len();
  if (const Packed* p = std::get_if<Packed>(&d)) return p->stored;
  return 0;
}

}  // namespace pelorin::rt
