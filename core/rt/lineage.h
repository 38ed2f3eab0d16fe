// What a derived buffer is computed by, and the backing files of file-backed buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "error/error.h"
#include "platform/platform.h"
#include "spill/digest.h"

namespace pelorin::rt {

// The inputs of one computation: all bytes of each input buffer, in lineage order.
using InputSlices = std::span<const std::span<const std::byte>>;

// Computes a derived buffer from its inputs. Called on any thread that pins the buffer,
// never with the runtime mutex held, possibly for several buffers at once. It must fill
// all of `out` and give the same bytes from the same inputs every time.
struct LineageFunc {
  virtual ~LineageFunc() = default;
  virtual Result<void> compute(InputSlices inputs, std::span<std::byte> out) = 0;
};

// A file registered with a runtime, kept open for as long as any buffer or the
// runtime's map refers to it.
struct SourceFile {
  struct Mtime {
    std::int64_t seconds;
    std::uint32_t nanoseconds;
    friend bool operator==(const Mtime&, const Mtime&) = default;
  };

  // Opens a regular file read-only and records its size and modification time.
  static Result<std::shared_ptr<SourceFile>> open(const std::string& path);

  // Integrity error when the file's size or modification time is no longer the recorded one.
  Result<void> check_unchanged() const;

  // Fills `dst` from `offset`, bypassing the page cache as far as the system allows, and
  // returns the digest of what was read, checked against `expected` when given.
  Result<spill::Digest> read_into(std::uint64_t offset, std::span<std::byte> dst,
                                  std::optional<std::span<const std::byte>> expected) const;

  std::string path;
  std::optional<Mtime> mtime;
  std::uint64_t size = 0;
  platform::UniqueFd file;
};

// The key under which a path is kept in the runtime's map of files: the same for paths
// that differ only in repeated or trailing separators or interior "." components. Nothing
// is resolved against the file system.
std::string path_key(const std::string& path);

}  // namespace pelorin::rt
