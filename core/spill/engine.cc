#include "spill/engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "pool/parallel.h"
#include "spill/write_pool.h"

namespace pelorin::spill {

std::atomic<std::uint64_t> COUNTER{0};

namespace {

Result<void> pwrite_all(int fd, std::span<const std::byte> src, std::uint64_t offset) {
  while (!src.empty()) {
    ssize_t n = ::pwrite(fd, src.data(), src.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    if (n == 0) return fail(Error::io("failed to write whole buffer"));
    src = src.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

Result<void> pread_all(int fd, std::span<std::byte> dst, std::uint64_t offset) {
  while (!dst.empty()) {
    ssize_t n = ::pread(fd, dst.data(), dst.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    if (n == 0) return fail(Error::io("failed to fill whole buffer"));
    dst = dst.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

// Sizes the file, then writes and hashes every chunk. Runs in the write pool.
Result<Digest> fill_file(int fd, std::span<const std::byte> data) {
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(data.size()));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail(Error::last_os());

  std::vector<Hash128> parts(chunk_count(data.size()));
  auto written = for_each_chunk(data.size(), [&](const Chunk& c) -> Result<void> {
    auto src = data.subspan(c.offset, c.size);
    if (auto w = pwrite_all(fd, src, c.offset); !w) return w;
    parts[c.index] = hash_bytes(src);
    return {};
  });
  if (!written) return fail(std::move(written.error()));
  return combine(data.size(), parts);
}

std::string spill_name() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  const std::uint64_t counter = COUNTER.fetch_add(1);
  return fmt::format("{}-{}-{}.plspill", ::getpid(), ns < 0 ? 0 : ns, counter);
}

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

}  // namespace

Result<void> for_each_chunk(std::uint64_t length,
                            const std::function<Result<void>(const Chunk&)>& body) {
  return pool::for_each_until_error(chunk_count(length), [&](std::size_t i) {
    const std::uint64_t offset = i * DIGEST_CHUNK;
    return body(Chunk{i, offset, static_cast<std::size_t>(std::min(DIGEST_CHUNK, length - offset))});
  });
}

Result<Spilled> write_new_file(const std::string& path, std::span<const std::byte> data) {
  if (has_nul(path)) return fail(Error::io("file name contained an unexpected NUL byte"));
  platform::UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return fail(Error::last_os());

  std::optional<Result<Digest>> filled;
  try {
    run_in_write_pool([&] { filled = fill_file(fd.get(), data); });
  } catch (...) {
    fd.reset();
    ::unlink(path.c_str());
    throw;
  }
  fd.reset();
  if (!*filled) {
    ::unlink(path.c_str());
    return fail(std::move(filled->error()));
  }
  return Spilled{path, **filled, data.size()};
}

Result<Digest> read_region(int fd, std::uint64_t offset, std::span<std::byte> dst,
                           std::optional<std::span<const std::byte>> expected, bool uncached,
                           bool populate) {
  // File offsets are signed; past that, chunk offsets would no longer mean what they say.
  constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  if (dst.size() > kMaxOffset || offset > kMaxOffset - dst.size())
    return fail(Error::invalid_argument(
        fmt::format("region of {} bytes at offset {} is beyond any file", dst.size(), offset)));

  // One stream of reads in file order, with every chunk hashed on the pool while the next
  // is read: the system's read-ahead serves a single stream best, and the hashing then
  // costs no time of its own.
  std::vector<Hash128> parts(chunk_count(dst.size()));
  auto span_of = [&](std::size_t i) {
    const std::uint64_t at = i * DIGEST_CHUNK;
    return dst.subspan(at, std::min<std::uint64_t>(DIGEST_CHUNK, dst.size() - at));
  };
  auto read = pool::produce_in_order(
      parts.size(),
      [&](std::size_t i) -> Result<void> {
        auto out = span_of(i);
        const std::uint64_t at = offset + i * DIGEST_CHUNK;
        if (populate) platform::populate_for_write(out.data(), out.size());
        if (auto r = pread_all(fd, out, at); !r) return r;
        if (uncached) platform::drop_cached(fd, at, out.size());
        return {};
      },
      [&](std::size_t i) { parts[i] = hash_bytes(span_of(i)); });
  if (!read) return fail(std::move(read.error()));

  const Digest got = combine(dst.size(), parts);
  if (expected && (expected->size() != got.size() ||
                   !std::equal(got.begin(), got.end(), expected->begin())))
    return fail(Error::integrity("data read back does not match its digest"));
  return got;
}

Result<Spilled> Engine::write(std::span<const std::byte> data, const std::string& directory) {
  // An empty directory is the current one, as when joining paths.
  std::string path = directory;
  if (!path.empty() && path.back() != '/') path += '/';
  path += spill_name();
  return write_new_file(path, data);
}

Result<Digest> Engine::read_source_into(const std::string& path, std::uint64_t offset,
                                        std::uint64_t length, std::span<std::byte> dst,
                                        const std::optional<std::span<const std::byte>>& expected) {
  if (dst.size() != length)
    return fail(Error::invalid_argument(
        fmt::format("destination holds {} bytes, source region {}", dst.size(), length)));
  if (has_nul(path)) return fail(Error::io("file name contained an unexpected NUL byte"));
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return fail(Error::last_os());

  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(Error::last_os());
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t end =
      length > std::numeric_limits<std::uint64_t>::max() - offset
          ? std::numeric_limits<std::uint64_t>::max()
          : offset + length;
  if (size < end)
    return fail(Error::integrity(
        fmt::format("{} is {} bytes, shorter than the recorded region", path, size)));
  return read_region(fd.get(), offset, dst, expected);
}

}  // namespace pelorin::spill
