#pragma once

namespace pelorin {

// Version of the native core.
inline constexpr const char* kCoreVersion = "0.1.0";

}  // namespace pelorin
