// File-backed buffers: registering file regions, and loading or re-reading them verified.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "rt/internal.h"
#include "rt/lineage.h"
#include "spill/engine.h"

namespace pelorin::rt {

namespace {

std::optional<SourceFile::Mtime> mtime_of(const struct stat& st) {
  const auto ns = st.st_mtim.tv_nsec;
  if (ns < 0 || ns >= 1000000000) return std::nullopt;
  return SourceFile::Mtime{static_cast<std::int64_t>(st.st_mtim.tv_sec),
                           static_cast<std::uint32_t>(ns)};
}

Result<void> check_shape(std::uint64_t nbytes, std::uint64_t elem) {
  if (nbytes == 0) return fail(Error::invalid_argument("a buffer holds at least one byte"));
  if (elem == 0 || elem > 16 || (elem & (elem - 1)) != 0 || nbytes % elem != 0)
    return fail(Error::invalid_argument(fmt::format(
        "element size {} must be 1, 2, 4, 8 or 16 and divide {} bytes", elem, nbytes)));
  return {};
}

}  // namespace

std::string path_key(const std::string& path) {
  std::vector<std::string_view> parts;
  const bool absolute = !path.empty() && path.front() == '/';
  std::string_view rest(path);
  while (!rest.empty()) {
    const std::size_t cut = rest.find('/');
    std::string_view part = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    if (part.empty()) continue;
    // A leading "." of a relative path is kept: "./a" names what "a" does only by
    // convention of the shell, so it stays its own entry.
    if (part == "." && (absolute || !parts.empty() || &part.front() != path.data())) continue;
    parts.push_back(part);
  }
  std::string key = absolute ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) key += '/';
    key += parts[i];
  }
  return key;
}

Result<std::shared_ptr<SourceFile>> SourceFile::open(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return fail(Error::io("file name contained an unexpected NUL byte"));
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return fail(Error::last_os());
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(Error::last_os());
  if (!S_ISREG(st.st_mode))
    return fail(Error::invalid_argument(fmt::format("{} is not a regular file", path)));
  auto f = std::make_shared<SourceFile>();
  f->path = path;
  f->mtime = mtime_of(st);
  f->size = static_cast<std::uint64_t>(st.st_size);
  f->file = std::move(fd);
  return f;
}

Result<void> SourceFile::check_unchanged() const {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return fail(Error::last_os());
  if (static_cast<std::uint64_t>(st.st_size) != size || mtime_of(st) != mtime)
    return fail(Error::integrity(
        fmt::format("{} changed since it was registered (size or modification time)", path)));
  return {};
}

Result<spill::Digest> SourceFile::read_into(
    std::uint64_t offset, std::span<std::byte> dst,
    std::optional<std::span<const std::byte>> expected) const {
  if (auto same = check_unchanged(); !same) return fail(same.error());
  if (dst.size() > std::numeric_limits<std::uint64_t>::max() - offset)
    return fail(Error::invalid_argument("region end overflows"));
  const std::uint64_t end = offset + dst.size();
  if (end > size)
    return fail(Error::invalid_argument(
        fmt::format("region {}..{} is outside {} ({} bytes)", offset, end, path, size)));
  return spill::read_region(file.get(), offset, dst, expected, /*uncached=*/true,
                            /*populate=*/true);
}

Result<std::uint64_t> Runtime::add_file(const std::string& path, std::uint64_t offset,
                                        std::uint64_t nbytes, std::uint64_t elem) const {
  if (auto shape = check_shape(nbytes, elem); !shape) return fail(shape.error());
  Guard g = shared_->lock();
  std::string key = path_key(path);
  std::shared_ptr<SourceFile> file;
  if (auto it = g->files.find(key); it != g->files.end()) {
    file = it->second;
  } else {
    auto opened = SourceFile::open(path);
    if (!opened) return fail(opened.error());
    file = *opened;
    g->files.emplace(std::move(key), file);
  }
  const std::uint64_t end =
      nbytes > std::numeric_limits<std::uint64_t>::max() - offset
          ? std::numeric_limits<std::uint64_t>::max()
          : offset + nbytes;
  if (end > file->size)
    return fail(Error::invalid_argument(fmt::format(
        "{} bytes from offset {} run past the end of {} ({} bytes)", nbytes, offset, file->path,
        file->size)));
  const std::uint64_t id = g->next_id++;
  Buf& b = g->bufs[id];
  b.nbytes = nbytes;
  b.elem = elem;
  b.tick = g->tick;
  b.source = Source{std::nullopt, std::move(file), offset};
  return id;
}

Result<bool> restore_source(Shared& s, Guard& g, std::uint64_t id, bool for_prefetch,
                            double next_use) {
  Buf& first = g->bufs.at(id);
  if (!first.source)
    return fail(Error::integrity(
        fmt::format("buffer {} has no data and no way back (this is a bug)", id)));
  const std::uint64_t nbytes = first.nbytes;
  const std::shared_ptr<SourceFile> file = first.source->file;
  const std::uint64_t offset = first.source->offset;
  const std::optional<spill::Digest> expected = first.source->digest;

  const std::uint64_t need = platform::round_up_to_pages(nbytes);
  if (auto room = make_room(s, g, need, id, for_prefetch, next_use, true); !room)
    return fail(room.error());
  auto it = g->bufs.find(id);
  if (it == g->bufs.end())
    return fail(Error::invalid_argument(fmt::format("unknown buffer {}", id)));
  if (it->second.busy || it->second.has_data()) return false;
  it->second.busy = true;
  g->used += need;
  g->stats.peak_used = std::max(g->stats.peak_used, g->used);

  const double t0 = now_seconds();
  auto load = [&]() -> Result<std::pair<Region, spill::Digest>> {
    auto region = Region::create(nbytes, platform::Populate::ByFiller);
    if (!region) return fail(region.error());
    std::optional<std::span<const std::byte>> want;
    if (expected) want = std::span<const std::byte>(*expected);
    auto got = file->read_into(offset, region->bytes().first(nbytes), want);
    if (!got) return fail(got.error());
    return std::pair{std::move(*region), *got};
  };
  Result<std::pair<Region, spill::Digest>> loaded = unlocked(s, g, load, [&] {
    g->bufs.at(id).busy = false;
    g->used -= need;
  });
  const double elapsed = now_seconds() - t0;

  Buf& b = g->bufs.at(id);
  b.busy = false;
  if (!loaded) {
    g->used -= need;
    s.broadcast();
    return fail(loaded.error());
  }
  g->used -= held_size(b.data);
  b.data = std::move(loaded->first);
  auto& st = g->stats;
  if (!expected) {
    b.source->digest = loaded->second;
    st.loads += 1;
    st.load_bytes += nbytes;
  } else {
    st.rereads += 1;
    st.reread_bytes += nbytes;
  }
  st.read_seconds += elapsed;
  g->read_rate.update(static_cast<double>(nbytes), elapsed);
  s.broadcast();
  return true;
}

}  // namespace pelorin::rt
