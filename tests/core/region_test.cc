#include "rt/region.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "platform/platform.h"

namespace pelorin::rt {
namespace {

const std::uint64_t kPage = platform::page_size();

bool all_zero(const std::byte* p, std::uint64_t n) {
  return std::all_of(p, p + n, [](std::byte b) { return b == std::byte{0}; });
}

TEST(Region, SizesRoundUpToWholePages) {
  struct Case {
    std::uint64_t size, len;
  };
  for (Case c : {Case{1, kPage}, Case{kPage, kPage}, Case{kPage + 1, 2 * kPage},
                 Case{10 * kPage - 1, 10 * kPage}}) {
    auto r = Region::create(c.size);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->size(), c.size);
    EXPECT_EQ(r->len(), c.len);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(r->ptr()) % kPage, 0u);
    EXPECT_TRUE(all_zero(r->ptr(), r->len()));
    EXPECT_EQ(r->bytes().size(), c.size);
  }
}

TEST(Region, RefusesWhatCannotBeMapped) {
  auto zero = Region::create(0);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().display(), "invalid argument: a region holds at least one byte");

  // Rounding wraps; the system refuses the length.
  auto huge = Region::create(std::numeric_limits<std::uint64_t>::max());
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().kind(), Error::Kind::Io);
  EXPECT_EQ(huge.error().os_errno(), EINVAL);

  auto too_much = Region::create(std::uint64_t{1} << 62);
  ASSERT_FALSE(too_much);
  EXPECT_EQ(too_much.error().os_errno(), ENOMEM);
}

// Fills every page with 0xAB, releases [start, end) and reports which pages read zero.
std::vector<bool> released_pages(std::uint64_t size, std::uint64_t start, std::uint64_t end) {
  auto r = Region::create(size);
  EXPECT_TRUE(r);
  std::fill(r->ptr(), r->ptr() + r->len(), std::byte{0xAB});
  r->release(start, end);
  std::vector<bool> zero;
  for (std::uint64_t off = 0; off < r->len(); off += kPage)
    zero.push_back(all_zero(r->ptr() + off, kPage));
  // Released pages stay writable.
  std::fill(r->ptr(), r->ptr() + r->len(), std::byte{1});
  EXPECT_EQ(r->ptr()[r->len() - 1], std::byte{1});
  return zero;
}

TEST(Region, ReleaseTakesOnlyWholePagesInside) {
  const std::uint64_t size = 3 * kPage + 100;  // four pages, the last partly used
  struct Case {
    const char* what;
    std::uint64_t start, end;
    std::vector<bool> zero;
  };
  const Case cases[] = {
      {"everything, tail page included", 0, size, {true, true, true, true}},
      {"end beyond the size", 0, size + 5 * kPage, {true, true, true, true}},
      {"less than one page", 1, kPage, {false, false, false, false}},
      {"partial pages at both ends", 1, 3 * kPage - 1, {false, true, false, false}},
      {"exact middle pages", kPage, 3 * kPage, {false, true, true, false}},
      {"from inside the last used page to the end", 3 * kPage + 1, size,
       {false, false, false, false}},
      {"empty range", 2 * kPage, 2 * kPage, {false, false, false, false}},
      {"start past the end", 9 * kPage, 2 * kPage, {false, false, false, false}},
  };
  for (const Case& c : cases) EXPECT_EQ(released_pages(size, c.start, c.end), c.zero) << c.what;
}

TEST(Region, MovesOwnershipAndCopiesExactly) {
  auto r = Region::create(10);
  ASSERT_TRUE(r);
  std::byte* p = r->ptr();
  Region moved = std::move(*r);
  EXPECT_EQ(moved.ptr(), p);
  EXPECT_EQ(r->ptr(), nullptr);  // NOLINT(bugprone-use-after-move): the source is empty

  const std::byte src[10] = {std::byte{1}, std::byte{2}};
  moved.copy_from(src);
  EXPECT_EQ(moved.ptr()[1], std::byte{2});
  const std::byte wrong[9] = {};
  testing::internal::CaptureStderr();
  EXPECT_THROW(moved.copy_from(wrong), FatalError);
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace pelorin::rt
