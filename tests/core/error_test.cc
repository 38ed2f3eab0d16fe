#include "error/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace pelorin {
namespace {

TEST(Error, DisplayCarriesTheVariantPrefix) {
  struct Case {
    Error error;
    Error::Kind kind;
    const char* display;
  };
  const Case cases[] = {
      {Error::not_implemented("codec_pack", "the codec"), Error::Kind::NotImplemented,
       "codec_pack is not implemented yet (planned: the codec)"},
      {Error::invalid_argument("x"), Error::Kind::InvalidArgument, "invalid argument: x"},
      {Error::integrity("x"), Error::Kind::Integrity, "integrity check failed: x"},
      {Error::not_supported("x"), Error::Kind::NotSupported, "not supported here: x"},
      {Error::budget("x"), Error::Kind::Budget, "budget exceeded: x"},
      {Error::io("short read"), Error::Kind::Io, "I/O error: short read"},
      {Error::os(ENOENT), Error::Kind::Io,
       "I/O error: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.display(), c.display);
  }
}

TEST(Error, IoKeepsItsNumber) {
  EXPECT_EQ(Error::os(EINVAL).os_errno(), EINVAL);
  EXPECT_EQ(Error::os(EINVAL).message(), "Invalid argument (os error 22)");
  EXPECT_EQ(Error::io("own text").os_errno(), 0);
}

TEST(Error, FatalWritesAndThrows) {
  testing::internal::CaptureStderr();
  EXPECT_THROW(fatal("table entry vanished"), FatalError);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("table entry vanished"),
            std::string::npos);
}

}  // namespace
}  // namespace pelorin
