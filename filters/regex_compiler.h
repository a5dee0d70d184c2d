// Compiles a "$regex" pattern (ECMAScript syntax with the web-compatibility
// grammar, over bytes) into the programs of regex_program.h.
//
// Bounds that keep every accepted pattern cheap to run: at most
// kMaxPatternBytes of pattern, groups nested at most kMaxGroupDepth deep, and
// at most kMaxInstructions instructions over all programs once counted
// repeats are expanded. Identical lookahead bodies share one program.
// Back-references are refused: no bounded matcher can offer them.
//
// Thread-safe: works on its arguments only.
#ifndef NIVORA_FILTERS_REGEX_COMPILER_H_
#define NIVORA_FILTERS_REGEX_COMPILER_H_

#include <cstddef>
#include <string_view>

#include "filters/regex_program.h"

namespace nivora::regex {

inline constexpr size_t kMaxPatternBytes = 1024;
inline constexpr int kMaxGroupDepth = 64;
// A text that never brings the automaton back to a state it has seen costs a
// simulation step per instruction and byte (about 2 ns); this bound keeps
// that worst case near a second per 100 KB of text.
inline constexpr size_t kMaxInstructions = 5000;
// Distinct lookahead bodies (more cannot fit in kMaxPatternBytes; checked
// all the same, as the automaton's tables are sized by it).
inline constexpr size_t kMaxLookaheads = 256;

// Throws std::regex_error, whose what() says why, for a malformed pattern or
// one over a bound.
CompiledPattern CompileRegex(std::string_view pattern);

}  // namespace nivora::regex

#endif  // NIVORA_FILTERS_REGEX_COMPILER_H_
