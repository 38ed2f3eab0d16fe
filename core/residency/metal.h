// No-copy GPU (Metal) buffers over page-aligned host memory. A buffer is an object pointer
// holding one reference that its owner gives back with `release`; it covers the memory
// without owning it, so the memory must stay mapped and in place while the GPU may use it.
// Where the system has no GPU device every buffer request fails with NotSupported
// "no Metal device". Stateless: any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "error/error.h"

namespace pelorin::metal {

// A buffer over `length` bytes at `address` (both page-aligned by the caller's contract).
// NotSupported when there is no device or the device refuses the range.
Result<void*> no_copy(void* address, std::size_t length);

// `no_copy` for a caller-supplied range, checked first: InvalidArgument unless the address
// is not null and both it and the length are non-zero multiples of the page size.
Result<void*> wrap(std::uint64_t address, std::uint64_t length);

// Gives back the reference `buffer` holds; nullptr does nothing.
void release(void* buffer);

}  // namespace pelorin::metal
