// What telemetry may send of an error message. Error messages carry text
// that came from the caller or from outside the process (index and field
// names, ids, paths, filter text and patterns, excerpts of parsed JSON,
// database and server messages); none of it may leave the process. A
// description keeps the operation and the system's own fixed wording and
// replaces each such fragment by "<redacted>".
//
// The fragments are found by the fixed wording around them: a table of the
// system's messages that embed outside text, plus anything between quotes
// ('...', "...", `...`) and the JSON parser's "last read: ..." excerpt. A new
// message that embeds outside text without quotes needs a line in that table
// (error_description.cc).
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

// message with every outside fragment replaced by "<redacted>". Stops once
// the result holds at least `enough` bytes (the rest would be cut anyway).
std::string RedactErrorMessage(std::string_view message, size_t enough = std::string::npos);

// The description sent for message: redacted, made valid UTF-8 (bad bytes
// become U+FFFD) and cut to at most kMaxErrorDescriptionBytes bytes on a
// character boundary.
std::string MakeErrorDescription(std::string_view message);

}  // namespace nivora::internal

#endif  // NIVORA_TELEMETRY_ERROR_DESCRIPTION_H_
