// A whole file mapped read-only and shared: clean, file-backed pages the system may drop
// and read again at any time. Tells how much of it is in memory, warms the page cache for
// a range, and wraps the mapping as a GPU buffer once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "error/error.h"
#include "platform/platform.h"

namespace pelorin::residency {

class FileMap {
 public:
  // Opens and maps `path` (a file-system path, as bytes). Io when it cannot be opened,
  // stat'ed or mapped, or contains a NUL byte; InvalidArgument "<path> is empty" for a file
  // of 0 bytes. Nothing is left open on failure.
  static Result<std::unique_ptr<FileMap>> open(const std::string& path);

  // Gives back the GPU buffer, if one was made, then unmaps, then closes the file.
  ~FileMap();
  FileMap(const FileMap&) = delete;
  FileMap& operator=(const FileMap&) = delete;

  // The first mapped byte (page-aligned).
  const void* address() const { return address_; }
  // The mapped length: the file length rounded up to whole pages.
  std::uint64_t length() const { return length_; }
  // The file's size when it was opened; above 0.
  std::uint64_t file_length() const { return file_length_; }

  // The share of the mapping's pages in memory, in [0, 1]; Io when the system cannot tell.
  // Allocates one byte per page for the call. Any thread.
  Result<double> resident() const;

  // Reads [offset, offset + length), clipped to the file, through the descriptor with one
  // buffer of at most 8 MiB, so that the mapping then finds the pages cached; the bytes
  // are discarded. Returns the bytes read (less at an early end of file); Io on a failed
  // read. Any thread.
  Result<std::uint64_t> prefetch(std::uint64_t offset, std::uint64_t length) const;

  // The GPU buffer over the whole mapping, made on the first successful call and owned by
  // this map (callers never release it). A failure stores nothing, so a later call tries
  // again. Concurrent first calls make one buffer.
  Result<void*> metal_buffer();

 private:
  FileMap(platform::UniqueFd fd, void* address, std::uint64_t length, std::uint64_t file_length)
      : fd_(std::move(fd)), address_(address), length_(length), file_length_(file_length) {}

  class MetalLock;

  platform::UniqueFd fd_;  // declared first: closed last, after the unmap
  void* address_;
  std::uint64_t length_;
  std::uint64_t file_length_;

  std::mutex metal_mu_;
  void* metal_ = nullptr;        // guarded by metal_mu_
  bool metal_broken_ = false;    // guarded by metal_mu_: a holder failed while holding it
};

}  // namespace pelorin::residency
