// The one error type of the core, and the fatal path for broken invariants.
#pragma once

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace pelorin {

// A failure reported to the caller. Variants keep their order: the order is the index.
class Error {
 public:
  enum class Kind : std::uint8_t {
    NotImplemented,
    InvalidArgument,
    Integrity,
    NotSupported,
    Budget,
    Io,
  };

  // `feature` and `plan` must be static texts.
  static Error not_implemented(const char* feature, const char* plan);
  static Error invalid_argument(std::string message);
  static Error integrity(std::string message);
  static Error not_supported(std::string message);
  static Error budget(std::string message);
  // An I/O error from an operating-system error number.
  static Error os(int errnum);
  // An I/O error of the current `errno`.
  static Error last_os();
  // An I/O error with a message of its own (no error number).
  static Error io(std::string message);

  Kind kind() const { return kind_; }
  // The operating-system error number of an `Io` error, or 0.
  int os_errno() const { return errnum_; }
  // The text after the variant's prefix (for `Io`, the I/O error's own text).
  std::string message() const;
  // The full display text: prefix, then message.
  std::string display() const;

 private:
  Error(Kind kind, std::string message, int errnum = 0)
      : kind_(kind), errnum_(errnum), message_(std::move(message)) {}

  Kind kind_;
  int errnum_;           // Io only: 0 when the error has its own message
  std::string message_;  // NotImplemented: unused (see feature_/plan_)
  const char* feature_ = nullptr;
  const char* plan_ = nullptr;
};

template <typename T>
using Result = std::expected<T, Error>;

// Shorthand for returning an error from a function that returns Result<T>.
inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

// The system's description of an error number followed by " (os error N)".
std::string os_error_text(int errnum);

// Thrown by `fatal` after the text has been written to standard error. Only the bindings
// catch it (to end the Python call with the fatal-error exception); background threads
// end on it; functions called through plain function pointers are noexcept, so there it
// terminates the process.
class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& text) : std::runtime_error(text) {}
};

// A broken internal invariant. Writes the text to standard error and throws FatalError.
[[noreturn]] void fatal(std::string_view text);

// Checks an invariant; a failure is fatal.
#define PELORIN_CHECK(cond, ...)                               \
  do {                                                         \
    if (!(cond)) [[unlikely]]                                  \
      ::pelorin::fatal(::fmt::format(__VA_ARGS__));            \
  } while (0)

// Memory exhaustion: writes "memory allocation of {} bytes failed" and aborts.
[[noreturn]] void out_of_memory(std::size_t size) noexcept;

}  // namespace pelorin
