#include "residency/filemap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <limits>
#include <vector>

#include "error/text.h"
#include "residency/metal.h"

namespace pelorin::residency {

namespace {

constexpr std::uint64_t kPrefetchBuffer = 8u << 20;

}  // namespace

// Holds the Metal mutex. A fatal error escaping while it is held marks the slot broken:
// the next holder cannot trust it and stops with the fatal error "metal lock".
class FileMap::MetalLock {
 public:
  explicit MetalLock(FileMap& map)
      : map_(map), lock_(map.metal_mu_), unwinding_(std::uncaught_exceptions()) {
    if (map_.metal_broken_) fatal("metal lock");
  }
  ~MetalLock() {
    if (std::uncaught_exceptions() > unwinding_) map_.metal_broken_ = true;
  }
  MetalLock(const MetalLock&) = delete;
  MetalLock& operator=(const MetalLock&) = delete;

 private:
  FileMap& map_;
  std::lock_guard<std::mutex> lock_;
  int unwinding_;
};

Result<std::unique_ptr<FileMap>> FileMap::open(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return fail(Error::io("file name contained an unexpected NUL byte"));
  // Non-blocking so that a FIFO cannot hang the open; it then reads as empty. Reads of
  // regular files ignore the flag.
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fail(Error::last_os());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(Error::last_os());
  if (st.st_size <= 0) return fail(Error::invalid_argument(display_text(path) + " is empty"));
  const auto file_length = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t length = platform::round_up_to_pages(file_length);
  void* address = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (address == MAP_FAILED) return fail(Error::last_os());
  return std::unique_ptr<FileMap>(new FileMap(std::move(fd), address, length, file_length));
}

FileMap::~FileMap() {
  {
    // Not MetalLock: a destructor cannot stop with the fatal error, and whatever a failed
    // holder left, a stored buffer is still one reference to give back.
    std::lock_guard<std::mutex> l(metal_mu_);
    metal::release(metal_);
    metal_ = nullptr;
  }
  ::munmap(address_, length_);
  // fd_ closes as the last member to go.
}

Result<double> FileMap::resident() const {
  const std::size_t pages = length_ / platform::page_size();
  std::vector<unsigned char> in_core(pages, 0);
  if (::mincore(address_, length_, in_core.data()) != 0) return fail(Error::last_os());
  const auto count = std::count_if(in_core.begin(), in_core.end(),
                                   [](unsigned char v) { return (v & 1) != 0; });
  return static_cast<double>(count) / static_cast<double>(std::max<std::size_t>(pages, 1));
}

Result<std::uint64_t> FileMap::prefetch(std::uint64_t offset, std::uint64_t length) const {
  std::uint64_t stop = 0;
  if (__builtin_add_overflow(offset, length, &stop)) stop = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t end = std::min(file_length_, stop);
  const std::uint64_t span = end > offset ? end - offset : 0;
  std::vector<std::byte> buf(std::min(std::max<std::uint64_t>(span, 1), kPrefetchBuffer));
  std::uint64_t p = offset;
  while (p < end) {
    const std::size_t want = std::min<std::uint64_t>(buf.size(), end - p);
    const ssize_t n = ::pread(fd_.get(), buf.data(), want, static_cast<off_t>(p));
    if (n < 0) {
      if (errno == EINTR) continue;  // interrupted before anything was read
      return fail(Error::last_os());
    }
    if (n == 0) break;  // the file shrank since it was opened
    p += static_cast<std::uint64_t>(n);
  }
  return p > offset ? p - offset : 0;
}

Result<void*> FileMap::metal_buffer() {
  MetalLock lock(*this);
  if (metal_ != nullptr) return metal_;
  Result<void*> made = metal::no_copy(address_, length_);
  if (made) metal_ = *made;
  return made;
}

}  // namespace pelorin::residency
