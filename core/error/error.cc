#include "error/error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace pelorin {

Error Error::not_implemented(const char* feature, const char* plan) {
  Error e(Kind::NotImplemented, {});
  e.feature_ = feature;
  e.plan_ = plan;
  return e;
}
Error Error::invalid_argument(std::string m) { return Error(Kind::InvalidArgument, std::move(m)); }
Error Error::integrity(std::string m) { return Error(Kind::Integrity, std::move(m)); }
Error Error::not_supported(std::string m) { return Error(Kind::NotSupported, std::move(m)); }
Error Error::budget(std::string m) { return Error(Kind::Budget, std::move(m)); }
Error Error::os(int errnum) { return Error(Kind::Io, os_error_text(errnum), errnum); }
Error Error::last_os() { return os(errno); }
Error Error::io(std::string m) { return Error(Kind::Io, std::move(m)); }

std::string Error::message() const {
  if (kind_ == Kind::NotImplemented)
    return fmt::format("{} is not implemented yet (planned: {})", feature_, plan_);
  return message_;
}

std::string Error::display() const {
  switch (kind_) {
    case Kind::NotImplemented: return message();
    case Kind::InvalidArgument: return "invalid argument: " + message_;
    case Kind::Integrity: return "integrity check failed: " + message_;
    case Kind::NotSupported: return "not supported here: " + message_;
    case Kind::Budget: return "budget exceeded: " + message_;
    case Kind::Io: return "I/O error: " + message_;
  }
  fatal("unknown error kind");
}

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in `buf`.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", text, errnum);
}

void fatal(std::string_view text) {
  std::string line = fmt::format("pelorin: fatal error: {}\n", text);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  throw FatalError(std::string(text));
}

void out_of_memory(std::size_t size) noexcept {
  // No allocation here: format into a stack buffer and write it directly.
  char line[96];
  int n = std::snprintf(line, sizeof line, "memory allocation of %zu bytes failed\n", size);
  if (n > 0) {
    ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<std::size_t>(n));
    (void)ignored;
  }
  std::abort();
}

}  // namespace pelorin
