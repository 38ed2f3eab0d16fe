#include "residency/metal.h"

#include "platform/host.h"
#include "platform/platform.h"

namespace pelorin::metal {

Result<void*> no_copy(void* address, std::size_t length) {
  void* device = platform::gpu_device();
  if (device == nullptr) return fail(Error::not_supported("no Metal device"));
  void* buffer = platform::gpu_buffer_no_copy(device, address, length);
  platform::gpu_release(device);  // the buffer keeps the device alive on its own
  if (buffer == nullptr)
    return fail(Error::not_supported("newBufferWithBytesNoCopy returned nil (alignment or length)"));
  return buffer;
}

Result<void*> wrap(std::uint64_t address, std::uint64_t length) {
  const std::uint64_t p = platform::page_size();
  if (address == 0 || length == 0 || address % p != 0 || length % p != 0)
    return fail(Error::invalid_argument(fmt::format(
        "a no-copy Metal buffer needs a page-aligned address and a length in whole pages ({} "
        "bytes); got {:#x}, {}",
        p, address, length)));
  return no_copy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)),
                 static_cast<std::size_t>(length));
}

void release(void* buffer) { platform::gpu_release(buffer); }

}  // namespace pelorin::metal
