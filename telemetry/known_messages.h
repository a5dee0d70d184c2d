// The error messages whose wording may leave the process in telemetry: the
// system's own fixed texts, written as shapes. Everything else a message
// holds (names, ids, paths, filter text, excerpts of parsed JSON, database
// and server replies) came from outside and must not be sent.
//
// A shape is the message's fixed wording with a hole where varying text
// goes: "{}" for any text, sent as "<redacted>", and "{n}" for a decimal
// integer the system printed itself (a count, a row, a dimension), sent as
// is. A message that gains a new text, in the stores, the engine or the API,
// gets one line in the list (known_messages.cc).
//
// Immutable tables; safe from any thread.
#ifndef NIVORA_TELEMETRY_KNOWN_MESSAGES_H_
#define NIVORA_TELEMETRY_KNOWN_MESSAGES_H_

#include <span>
#include <string_view>

namespace nivora::internal {

// Shapes of the known messages, as they stand after every known
// "Exception in <operation>: " prefix.
std::span<const std::string_view> KnownMessageShapes();

// Operations that prefix a message with "Exception in <operation>: " or
// name it in "Unknown exception in <operation>": the guarded API operations
// and the keystore methods.
std::span<const std::string_view> KnownOperations();

}  // namespace nivora::internal

#endif  // NIVORA_TELEMETRY_KNOWN_MESSAGES_H_
