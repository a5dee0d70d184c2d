// BoundedRegex: the matcher behind "$regex". ECMAScript pattern syntax,
// with the web-compatibility grammar (\00 and other legacy octal escapes, a
// '{' that opens no quantifier, \1 where there is no group, identity escapes
// such as \q), over bytes, case-sensitive, no multiline; answers only "does
// the pattern match anywhere in the text".
//
// Filter patterns come from callers, so matching must neither hang nor
// exhaust memory or the stack, whatever the pattern and the text:
//  - a pattern is at most kMaxPatternBytes long, nests groups at most
//    kMaxGroupDepth deep and compiles to at most kMaxInstructions
//    instructions (counted repeats expanded); back-references are refused;
//  - the text is read once from left to right by an automaton that runs all
//    its threads at once and remembers the states it has seen, so time is at
//    most O(text x program) and usually a table lookup per byte;
//  - every lookahead is decided at every position beforehand, by one
//    right-to-left pass of one automaton over all the reversed lookahead
//    bodies (inner lookaheads first at each position), never by rescanning;
//    the answers take one bit per lookahead and position, kept in blocks of
//    bounded size (longer texts take a second pass from saved states);
//  - no recursion depends on the text, and the memory of one search is
//    bounded apart from a small part per position of a very long text.
// Supported: literals, ".", classes [...] with ranges and negation, \d \D \w
// \W \s \S \b \B, \t \n \v \f \r \0 \xHH \uHHHH \cX, legacy octal and
// identity escapes, ^ $, groups (...) (?:...), lookaheads (?=...) (?!...)
// (quantified too), alternation, and the quantifiers * + ? {n} {n,} {n,m}
// with optional lazy "?" (laziness does not change whether a match exists).
//
// A pattern that is refused throws std::regex_error whose what() says why.
// A compiled BoundedRegex is immutable: Search may run on many threads.
#ifndef NIVORA_FILTERS_BOUNDED_REGEX_H_
#define NIVORA_FILTERS_BOUNDED_REGEX_H_

#include <cstddef>
#include <string_view>

#include "filters/regex_compiler.h"
#include "filters/regex_program.h"

namespace nivora {

class BoundedRegex {
 public:
  static constexpr size_t kMaxPatternBytes = regex::kMaxPatternBytes;
  static constexpr int kMaxGroupDepth = regex::kMaxGroupDepth;
  static constexpr size_t kMaxInstructions = regex::kMaxInstructions;
  // Memory one search may give to remembered automaton states, and to the
  // answers of lookaheads per block of positions.
  static constexpr size_t kStateCacheBytes = 8u << 20;
  static constexpr size_t kLookaheadBlockBytes = 16u << 20;

  // Compiles pattern; throws std::regex_error when it is malformed or over a
  // bound above.
  explicit BoundedRegex(std::string_view pattern);

  // Whether the pattern matches some substring of text.
  bool Search(std::string_view text) const { return Search(text, kLookaheadBlockBytes); }
  // The same with another block size for lookahead answers (tests use small
  // ones to exercise the second pass).
  bool Search(std::string_view text, size_t lookahead_block_bytes) const;

 private:
  regex::CompiledPattern compiled_;
};

}  // namespace nivora

#endif  // NIVORA_FILTERS_BOUNDED_REGEX_H_
