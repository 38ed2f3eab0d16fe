// Putting caller-supplied text (paths, option values) into messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pelorin {

// Bytes of the UTF-8 sequence starting at `s[i]`, or 0 when the bytes there are not one.
std::size_t utf8_length_at(std::string_view s, std::size_t i);

// `s` as a double-quoted literal: quotes, backslashes and control characters escaped, and
// bytes that are not UTF-8 shown as \xNN, so that any text prints as one readable token.
std::string quoted(std::string_view s);

// `s` with every byte that does not start a UTF-8 sequence replaced by U+FFFD.
std::string display_text(std::string_view s);

}  // namespace pelorin
