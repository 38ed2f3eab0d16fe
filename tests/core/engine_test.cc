#include "spill/engine.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "spill/write_pool.h"

namespace pelorin::spill {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB4 = 4194304;
constexpr int kLowIoPriority = (2 << 13) | 7;  // best effort, level 7

std::vector<std::byte> random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::byte> v(n);
  for (auto& b : v) b = static_cast<std::byte>(rng());
  return v;
}

std::span<const std::byte> as_bytes(const std::string& s) {
  return std::as_bytes(std::span(s.data(), s.size()));
}

// A fresh directory per test, removed with everything in it afterwards.
class SpillDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pelorin-engine-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    return names;
  }

  std::string file(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::uint64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The decimal number at the front of `s`, which it consumes; nullopt when there is none.
std::optional<std::uint64_t> take_number(std::string_view& s) {
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end == s.data()) return std::nullopt;
  s.remove_prefix(static_cast<std::size_t>(end - s.data()));
  return v;
}

// The numbers of a name "<pid>-<ns>-<counter>.plspill", or nullopt for any other name.
std::optional<std::array<std::uint64_t, 3>> parse_spill_name(std::string_view s) {
  std::array<std::uint64_t, 3> v;
  for (int i = 0; i < 3; ++i) {
    auto n = take_number(s);
    if (!n) return std::nullopt;
    v[i] = *n;
    const std::string_view sep = i < 2 ? "-" : ".plspill";
    if (!s.starts_with(sep)) return std::nullopt;
    s.remove_prefix(sep.size());
  }
  if (!s.empty()) return std::nullopt;
  return v;
}

// The N of a thread name "pelorin-spill-N", or nullopt for any other name.
std::optional<std::uint64_t> pool_slot(std::string_view s) {
  constexpr std::string_view prefix = "pelorin-spill-";
  if (!s.starts_with(prefix)) return std::nullopt;
  s.remove_prefix(prefix.size());
  auto n = take_number(s);
  if (!n || !s.empty()) return std::nullopt;
  return n;
}

TEST(SpillNames, ParseOnlyTheExactFormat) {
  EXPECT_EQ(parse_spill_name("12-345-6.plspill"), (std::array<std::uint64_t, 3>{12, 345, 6}));
  for (const char* bad : {"12-345.plspill", "12-345-6.plspil", "12-345-6.plspillx", "a-1-2.plspill",
                          "12--6.plspill", "12-345-6"})
    EXPECT_FALSE(parse_spill_name(bad)) << bad;
  EXPECT_EQ(pool_slot("pelorin-spill-3"), 3u);
  EXPECT_FALSE(pool_slot("pelorin-spill-"));
  EXPECT_FALSE(pool_slot("pelorin-spill-3x"));
}

using SpillEngine = SpillDir;

TEST_F(SpillEngine, WritesFilesThatReadBackWithTheirDigest) {
  const mode_t old_mask = ::umask(022);
  std::uint64_t last_counter = 0;
  bool first = true;
  // Small, exactly one chunk, and several chunks with a short last one; the trailing
  // slash variant of the directory must not double the separator.
  for (std::size_t n : {std::size_t{1}, kMiB4, 2 * kMiB4 + kMiB4 / 4 + 3}) {
    const auto data = random_bytes(n, static_cast<std::uint32_t>(n));
    const std::uint64_t before = now_ns();
    auto s = Engine::write(data, first ? dir_ : dir_ + "/");
    const std::uint64_t after = now_ns();
    ASSERT_TRUE(s) << s.error().display();

    EXPECT_EQ(fs::path(s->path).parent_path(), fs::path(dir_));
    EXPECT_EQ(s->path.find("//"), std::string::npos) << s->path;
    const std::string name = fs::path(s->path).filename();
    const auto parsed = parse_spill_name(name);
    ASSERT_TRUE(parsed) << name;
    const auto [pid, ns, counter] = *parsed;
    EXPECT_EQ(pid, static_cast<std::uint64_t>(::getpid()));
    EXPECT_GE(ns, before);
    EXPECT_LE(ns, after);
    if (!first) {
      EXPECT_EQ(counter, last_counter + 1);
    }
    last_counter = counter;
    first = false;

    struct stat st;
    ASSERT_EQ(::stat(s->path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), n);
    EXPECT_EQ(s->length, n);
    EXPECT_EQ(s->digest, digest(data));

    const std::string content = read_file(s->path);
    ASSERT_TRUE(std::ranges::equal(as_bytes(content), data)) << n;

    std::vector<std::byte> back(n);
    auto d = Engine::read_source_into(s->path, 0, n, back, std::span<const std::byte>(s->digest));
    ASSERT_TRUE(d) << d.error().display();
    EXPECT_EQ(*d, s->digest);
    EXPECT_EQ(back, data);
  }
  ::umask(old_mask);
}

TEST_F(SpillEngine, EmptyBufferMakesAnEmptyFile) {
  auto s = Engine::write({}, dir_);
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->length, 0u);
  EXPECT_EQ(s->digest, digest({}));
  EXPECT_EQ(fs::file_size(s->path), 0u);
  auto d = Engine::read_source_into(s->path, 0, 0, {}, std::span<const std::byte>(s->digest));
  ASSERT_TRUE(d) << d.error().display();
  EXPECT_EQ(*d, digest({}));
}

TEST_F(SpillEngine, MissingDirectoryFailsAndCreatesNothing) {
  const auto data = random_bytes(100, 3);
  auto s = Engine::write(data, dir_ + "/missing");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), Error::Kind::Io);
  EXPECT_EQ(s.error().os_errno(), ENOENT);
  EXPECT_TRUE(entries().empty());
}

TEST_F(SpillEngine, NeverFollowsOrReplacesWhatIsAlreadyThere) {
  const std::string target = file("target");
  write_file(target, "keep me");
  ASSERT_EQ(::symlink(target.c_str(), file("to-target").c_str()), 0);
  ASSERT_EQ(::symlink(file("nowhere").c_str(), file("dangling").c_str()), 0);
  write_file(file("regular"), "old");

  const auto data = random_bytes(5000, 4);
  for (const char* name : {"target", "to-target", "dangling", "regular"}) {
    auto s = write_new_file(file(name), data);
    ASSERT_FALSE(s) << name;
    EXPECT_EQ(s.error().os_errno(), EEXIST) << name;
  }
  EXPECT_EQ(read_file(target), "keep me");
  EXPECT_EQ(read_file(file("regular")), "old");
  EXPECT_FALSE(fs::exists(file("nowhere")));
  EXPECT_TRUE(fs::is_symlink(file("to-target")));
  EXPECT_TRUE(fs::is_symlink(file("dangling")));
}

// Restores a resource limit and a signal disposition when it goes.
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    old_handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit low = old_limit;
    low.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &low);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::signal(SIGXFSZ, old_handler);
  }
  rlimit old_limit;
  sighandler_t old_handler;
};

TEST_F(SpillEngine, FailureAfterCreationRemovesTheFile) {
  const auto data = random_bytes(kMiB4 + 10, 5);
  {
    // Sizing the file fails.
    Result<Spilled> s = fail(Error::io("not run"));
    {
      FileSizeLimit limit(4096);
      s = Engine::write(data, dir_);
    }
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().os_errno(), EFBIG);
    EXPECT_TRUE(entries().empty());
  }
  {
    // Writing the middle chunk fails: its memory cannot be read.
    const std::size_t len = 3 * kMiB4;
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    auto* bytes = static_cast<std::byte*>(p);
    std::fill(bytes, bytes + len, std::byte{7});
    ASSERT_EQ(::mprotect(bytes + kMiB4, kMiB4, PROT_NONE), 0);
    auto s = Engine::write({bytes, len}, dir_);
    ::munmap(p, len);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), Error::Kind::Io);
    EXPECT_EQ(s.error().os_errno(), EFAULT);
    EXPECT_TRUE(entries().empty());
  }
}

TEST_F(SpillEngine, ReadSourceIntoChecksRegionAndDigest) {
  const std::size_t n = 1000;
  const auto data = random_bytes(n, 6);
  auto s = Engine::write(data, dir_);
  ASSERT_TRUE(s) << s.error().display();
  const std::string& path = s->path;
  const Digest tail_digest = digest(std::span(data).subspan(600));
  Digest wrong = tail_digest;
  wrong[15] ^= std::byte{1};

  struct Case {
    const char* what;
    std::string path;
    std::uint64_t offset, length;
    std::size_t dst_size;
    std::optional<std::span<const std::byte>> expected;
    Error::Kind kind;  // InvalidArgument..Io; NotImplemented means success
    std::string message;
    int os_errno;
  };
  const std::string short_text =
      fmt::format("{} is 1000 bytes, shorter than the recorded region", path);
  const Case cases[] = {
      {"tail", path, 600, 400, 400, std::span<const std::byte>(tail_digest),
       Error::Kind::NotImplemented, "", 0},
      {"tail, unchecked", path, 600, 400, 400, std::nullopt, Error::Kind::NotImplemented, "", 0},
      {"empty at the end", path, 1000, 0, 0, std::nullopt, Error::Kind::NotImplemented, "", 0},
      {"dst too small", path, 0, 10, 9, std::nullopt, Error::Kind::InvalidArgument,
       "destination holds 9 bytes, source region 10", 0},
      {"one byte past", path, 601, 400, 400, std::nullopt, Error::Kind::Integrity, short_text, 0},
      {"empty past the end", path, 1001, 0, 0, std::nullopt, Error::Kind::Integrity, short_text, 0},
      {"end wraps", path, UINT64_MAX, 2, 2, std::nullopt, Error::Kind::Integrity, short_text, 0},
      {"wrong digest", path, 600, 400, 400, std::span<const std::byte>(wrong),
       Error::Kind::Integrity, "data read back does not match its digest", 0},
      {"short digest", path, 600, 400, 400, std::span<const std::byte>(tail_digest).first(15),
       Error::Kind::Integrity, "data read back does not match its digest", 0},
      {"NUL in path", path + std::string(1, '\0') + "x", 0, 1, 1, std::nullopt, Error::Kind::Io,
       "file name contained an unexpected NUL byte", 0},
      {"missing file", dir_ + "/missing", 0, 1, 1, std::nullopt, Error::Kind::Io, "", ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::byte> dst(c.dst_size, std::byte{0xEE});
    auto r = Engine::read_source_into(c.path, c.offset, c.length, dst, c.expected);
    const bool filled = c.offset <= n && c.length <= n - c.offset && c.dst_size == c.length;
    if (c.kind == Error::Kind::NotImplemented) {
      ASSERT_TRUE(r) << r.error().display();
      EXPECT_EQ(*r, digest(std::span(data).subspan(c.offset, c.length)));
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), c.kind);
      if (c.os_errno != 0) {
        EXPECT_EQ(r.error().os_errno(), c.os_errno);
      } else {
        EXPECT_EQ(r.error().message(), c.message);
      }
    }
    // A mismatched digest still leaves what was read.
    if (filled && (c.kind == Error::Kind::NotImplemented || c.kind == Error::Kind::Integrity)) {
      EXPECT_TRUE(std::ranges::equal(dst, std::span(data).subspan(c.offset, c.length)));
    }
  }
}

// Which whole pages of [offset, offset + length) of the file are in the page cache.
std::vector<bool> cached_pages(int fd, std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t page = platform::page_size();
  const std::uint64_t first = (offset + page - 1) / page, last = (offset + length) / page;
  const std::uint64_t map_len = last * page;
  void* p = ::mmap(nullptr, map_len, PROT_READ, MAP_SHARED, fd, 0);
  EXPECT_NE(p, MAP_FAILED);
  std::vector<unsigned char> vec(last);
  EXPECT_EQ(::mincore(p, map_len, vec.data()), 0);
  ::munmap(p, map_len);
  std::vector<bool> cached;
  for (std::uint64_t i = first; i < last; ++i) cached.push_back(vec[i] & 1);
  return cached;
}

TEST_F(SpillEngine, ReadRegionAtAnOffset) {
  const auto data = random_bytes(2 * kMiB4 + kMiB4 / 2, 7);
  auto s = Engine::write(data, dir_);
  ASSERT_TRUE(s) << s.error().display();
  platform::UniqueFd fd(::open(s->path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd);
  // Written pages are dirty and would not be dropped; write them out first.
  ASSERT_EQ(::fdatasync(fd.get()), 0);

  const std::uint64_t offset = 12345;
  const std::size_t n = kMiB4 + 777;
  const auto expect = std::span(data).subspan(offset, n);
  std::vector<std::byte> dst(n);
  auto d = read_region(fd.get(), offset, dst, std::span<const std::byte>(digest(expect)));
  ASSERT_TRUE(d) << d.error().display();
  EXPECT_EQ(*d, digest(expect));
  EXPECT_TRUE(std::ranges::equal(dst, expect));

  // Dropping works on whole cached blocks, which may be larger than a page: check it on
  // whole chunks.
  for (bool uncached : {false, true}) {
    SCOPED_TRACE(uncached);
    std::vector<std::byte> chunks(2 * kMiB4);
    auto c = read_region(fd.get(), 0, chunks, std::nullopt, uncached);
    ASSERT_TRUE(c) << c.error().display();
    EXPECT_EQ(*c, digest(std::span(data).first(2 * kMiB4)));
    auto cached = cached_pages(fd.get(), 0, chunks.size());
    EXPECT_EQ(std::ranges::count(cached, !uncached), static_cast<std::ptrdiff_t>(cached.size()));
  }

  // Past the end of the file and beyond any file offset.
  std::vector<std::byte> ten(10);
  auto past = read_region(fd.get(), data.size() - 5, ten, std::nullopt);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().message(), "failed to fill whole buffer");
  EXPECT_TRUE(std::ranges::equal(std::span(ten).first(5), std::span(data).last(5)));
  auto beyond = read_region(fd.get(), INT64_MAX - 5, ten, std::nullopt);
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error().kind(), Error::Kind::InvalidArgument);

  // A destination the system cannot write into.
  const std::size_t len = 2 * kMiB4;
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  ASSERT_EQ(::mprotect(static_cast<std::byte*>(p) + kMiB4, kMiB4, PROT_NONE), 0);
  auto fault = read_region(fd.get(), 0, {static_cast<std::byte*>(p), len}, std::nullopt);
  ::munmap(p, len);
  ASSERT_FALSE(fault);
  EXPECT_EQ(fault.error().os_errno(), EFAULT);
}

TEST(SpillChunks, CutLikeTheDigestAndStopAfterTheFirstFailure) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "oneTBB is not instrumented for ThreadSanitizer";
#endif
  // One thread, so chunks run in order and "after" is well defined.
  tbb::task_arena serial(1);
  serial.execute([] {
    std::vector<Chunk> seen;
    auto ok = for_each_chunk(2 * kMiB4 + 5, [&](const Chunk& c) -> Result<void> {
      seen.push_back(c);
      return {};
    });
    ASSERT_TRUE(ok);
    ASSERT_EQ(seen.size(), 3u);
    const std::uint64_t offsets[] = {0, kMiB4, 2 * kMiB4};
    const std::size_t sizes[] = {kMiB4, kMiB4, 5};
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(seen[i].index, i);
      EXPECT_EQ(seen[i].offset, offsets[i]);
      EXPECT_EQ(seen[i].size, sizes[i]);
    }

    EXPECT_TRUE(for_each_chunk(0, [](const Chunk&) -> Result<void> {
      ADD_FAILURE() << "no chunk in an empty range";
      return {};
    }));

    std::vector<std::size_t> ran;
    auto failed = for_each_chunk(10 * kMiB4, [&](const Chunk& c) -> Result<void> {
      ran.push_back(c.index);
      if (c.index == 3 || c.index == 5) return fail(Error::io(fmt::format("chunk {}", c.index)));
      return {};
    });
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(), "chunk 3");
    EXPECT_EQ(ran, (std::vector<std::size_t>{0, 1, 2, 3}));
  });
}

// What a thread looked like when it ran a task.
struct Seen {
  std::string name;
  int io_priority;
  bool in_pool;
};

int io_priority() { return static_cast<int>(::syscall(SYS_ioprio_get, 1, 0)); }

// Runs `tasks` tasks with tbb::parallel_for on the calling thread's arena, each holding
// its thread until `want` distinct threads have come (or a timeout), so that every thread
// the arena can get takes part. Returns what each thread looked like.
std::map<pid_t, Seen> gather(unsigned want) {
  std::mutex m;
  std::condition_variable cv;
  std::map<pid_t, Seen> seen;
  bool timed_out = false;
  tbb::parallel_for(
      tbb::blocked_range<unsigned>(0, 4 * want, 1),
      [&](const tbb::blocked_range<unsigned>&) {
        char name[16] = "";
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::unique_lock lock(m);
        seen.emplace(::gettid(), Seen{name, io_priority(), in_write_pool()});
        cv.notify_all();
        if (!cv.wait_for(lock, std::chrono::seconds(20), [&] {
              return timed_out || seen.size() >= want;
            }))
          timed_out = true;
      },
      tbb::simple_partitioner());
  return seen;
}

unsigned expected_pool_threads() {
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  return cpus <= 0 ? 2 : static_cast<unsigned>(std::min(cpus, 4L));
}

TEST(SpillWritePool, RunsWorkOnItsOwnNamedThreads) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "oneTBB is not instrumented for ThreadSanitizer";
#endif
  const unsigned threads = write_pool_threads();
  ASSERT_EQ(threads, expected_pool_threads());
  const std::string caller_name = platform::get_thread_name();
  pid_t runner = 0;
  std::map<pid_t, Seen> seen;
  run_in_write_pool([&] {
    runner = ::gettid();
    seen = gather(threads);
  });
  EXPECT_NE(runner, ::gettid());
  EXPECT_TRUE(seen.contains(runner));
  EXPECT_FALSE(seen.contains(::gettid()));
  EXPECT_FALSE(in_write_pool());
  EXPECT_EQ(platform::get_thread_name(), caller_name);

  // Every slot of the pool got a worker: the thread limit was raised where needed.
  EXPECT_EQ(seen.size(), threads);
  std::set<std::uint64_t> slots;
  for (const auto& [tid, s] : seen) {
    const auto slot = pool_slot(s.name);
    ASSERT_TRUE(slot) << s.name;
    slots.insert(*slot);
    EXPECT_EQ(s.io_priority, kLowIoPriority) << s.name;
    EXPECT_TRUE(s.in_pool) << s.name;
  }
  EXPECT_EQ(slots.size(), threads);
  EXPECT_LT(*slots.rbegin(), threads);
}

TEST(SpillWritePool, NestedCallsRunInPlaceAndErrorsReachTheCaller) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "oneTBB is not instrumented for ThreadSanitizer";
#endif
  pid_t outer = 0, inner = 0;
  run_in_write_pool([&] {
    outer = ::gettid();
    run_in_write_pool([&] { inner = ::gettid(); });
  });
  EXPECT_NE(outer, ::gettid());
  EXPECT_EQ(inner, outer);

  EXPECT_THROW(run_in_write_pool([] { fatal("broken in the pool"); }), FatalError);
  EXPECT_THROW(run_in_write_pool([] { throw std::bad_alloc(); }), std::bad_alloc);
  // The pool still works afterwards.
  bool ran = false;
  run_in_write_pool([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(SpillWritePool, ThreadsGiveNameAndPriorityBackWhenTheyLeave) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "oneTBB is not instrumented for ThreadSanitizer";
#endif
  const unsigned threads = write_pool_threads();
  const unsigned outside = static_cast<unsigned>(tbb::this_task_arena::max_concurrency());
  if (outside < 2) GTEST_SKIP() << "this thread's arena takes no worker threads";
  // How the scheduler's workers look before the pool has had them.
  std::map<pid_t, Seen> before = gather(outside);

  std::set<pid_t> pool_threads;
  std::map<pid_t, Seen> after;
  // The scheduler hands workers between arenas as it likes: go back and forth until a
  // thread that served the pool shows up outside it.
  for (int round = 0; round < 20; ++round) {
    run_in_write_pool([&] {
      for (const auto& [tid, s] : gather(threads)) pool_threads.insert(tid);
    });
    const auto data = random_bytes(2 * kMiB4, 8);
    char tmpl[] = "/tmp/pelorin-engine-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    auto s = Engine::write(data, tmpl);
    ASSERT_TRUE(s) << s.error().display();
    fs::remove_all(tmpl);

    for (const auto& [tid, s] : gather(outside)) after.insert_or_assign(tid, s);
    if (std::ranges::any_of(after, [&](const auto& e) { return pool_threads.contains(e.first); }))
      break;
  }
  ASSERT_TRUE(
      std::ranges::any_of(after, [&](const auto& e) { return pool_threads.contains(e.first); }))
      << "no worker moved from the pool to this thread's arena";
  for (const auto& [tid, s] : after) {
    EXPECT_FALSE(s.name.starts_with("pelorin-spill")) << tid;
    EXPECT_NE(s.io_priority, kLowIoPriority) << s.name;
    EXPECT_FALSE(s.in_pool) << s.name;
    if (auto b = before.find(tid); b != before.end()) {
      EXPECT_EQ(s.name, b->second.name);
      EXPECT_EQ(s.io_priority, b->second.io_priority);
    }
  }
}

}  // namespace
}  // namespace pelorin::spill
