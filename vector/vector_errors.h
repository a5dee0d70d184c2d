// How the vector mathematics rejects an argument or an operation: the
// message is logged at ERROR through nivora::GetLogger(), then thrown. Some
// logged texts end in a full stop that the thrown text lacks; the two-text
// forms serve those.
#ifndef NIVORA_VECTOR_VECTOR_ERRORS_H_
#define NIVORA_VECTOR_VECTOR_ERRORS_H_

#include <string>

namespace nivora::internal::vector_index {

inline constexpr char kUnsupportedMetricMessage[] = "Unsupported distance metric.";
inline constexpr char kNotDivisibleMessage[] =
    "Vector dimension must be divisible by the number of subvectors.";

// Logs `logged` at ERROR, then throws std::invalid_argument(`thrown`).
[[noreturn]] void LogAndThrowInvalid(const std::string& logged, const std::string& thrown);
[[noreturn]] inline void LogAndThrowInvalid(const std::string& message) {
  LogAndThrowInvalid(message, message);
}

// Logs `message` at ERROR, then throws std::runtime_error(`message`).
[[noreturn]] void LogAndThrowRuntime(const std::string& message);

}  // namespace nivora::internal::vector_index

#endif  // NIVORA_VECTOR_VECTOR_ERRORS_H_
