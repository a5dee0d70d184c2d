// What telemetry may send of an error message. Error messages carry text
// that came from the caller or from outside the process (index and field
// names, ids, paths, filter text and patterns, excerpts of parsed JSON,
// database and server messages); none of it may leave the process.
//
// Default-deny: a description keeps only the fixed wording of a known
// message (known_messages.h), matched whole after its known
// "Exception in <operation>: " prefixes, with each hole for outside text
// replaced by "<redacted>". Anything else, including a known message that is
// incomplete (cut short, for instance at a NUL byte by what()), becomes
// "Exception in <operation>: <redacted>" with the outermost known operation,
// or "<redacted>" when there is none.
//
// Pure functions; safe from any thread.
#ifndef NIVORA_TELEMETRY_ERROR_DESCRIPTION_H_
#define NIVORA_TELEMETRY_ERROR_DESCRIPTION_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace nivora::internal {

// Longest description sent, in bytes.
inline constexpr size_t kMaxErrorDescriptionBytes = 256;

// What may be sent of message, by the rules above.
std::string RedactErrorMessage(std::string_view message);

// The description sent for message: redacted, made valid UTF-8 (bad bytes
// become U+FFFD) and cut to at most kMaxErrorDescriptionBytes bytes on a
// character boundary.
std::string MakeErrorDescription(std::string_view message);

}  // namespace nivora::internal

#endif  // NIVORA_TELEMETRY_ERROR_DESCRIPTION_H_
