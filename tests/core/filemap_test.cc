#include "residency/filemap.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "residency/metal.h"

namespace pelorin::residency {
namespace {

namespace fs = std::filesystem;

class FileMapTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pelorin-filemap-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string& name, std::size_t size) {
    const std::string path = dir_ + "/" + name;
    std::ofstream out(path, std::ios::binary);
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 31);
    out.write(data.data(), static_cast<std::streamsize>(size));
    return path;
  }

  std::string dir_;
};

TEST_F(FileMapTest, OpenFailures) {
  auto empty = FileMap::open(file("empty", 0));
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().display(), "invalid argument: " + dir_ + "/empty is empty");

  auto missing = FileMap::open(dir_ + "/missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_errno(), ENOENT);

  auto nul = FileMap::open(std::string("a\0b", 3));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().display(), "I/O error: file name contained an unexpected NUL byte");

  // A FIFO with no writer neither blocks the open nor maps: it has no length.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto pipe = FileMap::open(fifo);
  ASSERT_FALSE(pipe.has_value());
  EXPECT_EQ(pipe.error().kind(), Error::Kind::InvalidArgument);

  auto directory = FileMap::open(dir_);
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().kind(), Error::Kind::Io);
}

TEST_F(FileMapTest, OneByteFileMapsOnePage) {
  auto m = FileMap::open(file("one", 1));
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ((*m)->length(), platform::page_size());
  EXPECT_EQ((*m)->file_length(), 1u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>((*m)->address()) % platform::page_size(), 0u);
  EXPECT_EQ(static_cast<const unsigned char*>((*m)->address())[0], 0u);
  auto r = (*m)->resident();
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(*r == 0.0 || *r == 1.0);
}

TEST_F(FileMapTest, PrefetchClipsToTheFile) {
  constexpr std::uint64_t kSize = (8u << 20) * 2 + 12345;  // more than two read buffers
  auto m = FileMap::open(file("big", kSize));
  ASSERT_TRUE(m.has_value());
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::uint64_t offset, length, read;
  } cases[] = {
      {0, 0, 0},
      {0, kMax, kSize},
      {kMax, kMax, 0},
      {kSize, 1, 0},
      {kSize + 4096, 10, 0},
      {kSize - 1, 100, 1},
      {100, 9u << 20, 9u << 20},
      {1, kSize, kSize - 1},
  };
  for (const auto& c : cases) {
    auto n = (*m)->prefetch(c.offset, c.length);
    ASSERT_TRUE(n.has_value()) << c.offset;
    EXPECT_EQ(*n, c.read) << c.offset << " " << c.length;
  }
}

TEST_F(FileMapTest, NoGpuDevice) {
  auto m = FileMap::open(file("gpu", 10));
  ASSERT_TRUE(m.has_value());
  for (int i = 0; i < 2; ++i) {  // nothing is stored, so the second call tries again
    auto b = (*m)->metal_buffer();
    ASSERT_FALSE(b.has_value());
    EXPECT_EQ(b.error().display(), "not supported here: no Metal device");
  }
}

TEST(Metal, WrapChecksItsRangeFirst) {
  const std::uint64_t p = platform::page_size();
  const std::string refusal =
      "invalid argument: a no-copy Metal buffer needs a page-aligned address and a length in "
      "whole pages (" + std::to_string(p) + " bytes); got ";
  const struct {
    std::uint64_t address, length;
    std::string display;
  } cases[] = {
      {0, p, refusal + "0x0, " + std::to_string(p)},
      {p, 100, refusal + "0x1000, 100"},
      {p, 0, refusal + "0x1000, 0"},
      {0xabcdef01, p, refusal + "0xabcdef01, " + std::to_string(p)},
      {p, p, "not supported here: no Metal device"},
  };
  for (const auto& c : cases) {
    auto b = metal::wrap(c.address, c.length);
    ASSERT_FALSE(b.has_value());
    EXPECT_EQ(b.error().display(), c.display);
  }
  metal::release(nullptr);  // does nothing
}

}  // namespace
}  // namespace pelorin::residency
