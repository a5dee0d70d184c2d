// UTF-8 repair and cutting for texts that leave the process as JSON strings.
// Pure functions; safe from any thread.
#ifndef NIVORA_TELEMETRY_UTF8_TEXT_H_
#define NIVORA_TELEMETRY_UTF8_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace nivora::internal {

// text with every byte that does not belong to a well-formed UTF-8 sequence
// (stray continuation bytes, overlong forms, surrogates, values past
// U+10FFFF, truncated sequences) replaced by U+FFFD.
std::string ToValidUtf8(std::string_view text);

// The longest prefix of the valid UTF-8 text that has at most max_bytes
// bytes and ends on a character boundary.
std::string CutUtf8(std::string text, size_t max_bytes);

}  // namespace nivora::internal

#endif  // NIVORA_TELEMETRY_UTF8_TEXT_H_
